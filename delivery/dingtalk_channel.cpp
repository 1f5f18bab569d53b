#include <QJsonObject>
#include <QUrl>

#include "delivery/channel_kinds.h"
#include "delivery/message_text.h"

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

// What DingTalk accepts in one text message.
constexpr qsizetype kContentBytes = 2048;
// A busy system, or too many messages.
constexpr qint64 kTransient[] = {-1, 130101};

// Signed, when there is a secret, in the address: a timestamp in milliseconds and its HMAC.
class DingTalkChannel final : public ChannelKind {
 public:
  ChannelRequest Build(const NotifyChannel& channel, const Event& event,
                       const QDateTime& now) const override {
    ChannelRequest request{
        channel.url,
        CompactJson({{u"msgtype"_s, u"text"_s},
                     {u"text"_s, QJsonObject{{u"content"_s, ChatText(event, kContentBytes)}}}}),
        {}};
    if (!channel.secret.isEmpty()) {
      const QByteArray timestamp = QByteArray::number(now.toMSecsSinceEpoch());
      const QByteArray secret = channel.secret.toUtf8();
      const QByteArray sign = Hmac(secret, timestamp + '\n' + secret).toBase64();
      request.url += (channel.url.contains(u'?') ? u"&"_s : u"?"_s) + u"timestamp="_s +
                     QString::fromLatin1(timestamp) + u"&sign="_s +
                     QString::fromLatin1(QUrl::toPercentEncoding(QString::fromLatin1(sign)));
    }
    return request;
  }

  Verdict Judge(const QByteArray& body) const override {
    return JudgeChatAnswer(body, u"errcode"_s, u"errmsg"_s, kTransient);
  }

  std::vector<RateLimit> Limits() const override { return {{20, 60s}}; }
};

}  // namespace

const ChannelKind& DingTalkKind() {
  static const DingTalkChannel kind;
  return kind;
}

}  // namespace skyloom

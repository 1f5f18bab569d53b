#include <QJsonObject>
#include <algorithm>

#include "delivery/channel_kinds.h"
#include "delivery/message_text.h"

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

// What Feishu accepts in one request.
constexpr qsizetype kBodyBytes = 20'000;
// A busy system, or too many messages.
constexpr qint64 kTransient[] = {-1, 11232};

QByteArray FeishuBody(const NotifyChannel& channel, const QString& text, const QDateTime& now) {
  QJsonObject body{{u"msg_type"_s, u"text"_s}, {u"content"_s, QJsonObject{{u"text"_s, text}}}};
  if (!channel.secret.isEmpty()) {
    const QByteArray timestamp = QByteArray::number(now.toSecsSinceEpoch());
    body.insert(u"timestamp"_s, QString::fromLatin1(timestamp));
    body.insert(u"sign"_s, QString::fromLatin1(
                               Hmac(timestamp + '\n' + channel.secret.toUtf8(), {}).toBase64()));
  }
  return CompactJson(body);
}

class FeishuChannel final : public ChannelKind {
 public:
  ChannelRequest Build(const NotifyChannel& channel, const Event& event,
                       const QDateTime& now) const override {
    ChannelRequest request{channel.url, {}, {}};
    // The limit is on the body, escapes included: cut the text by what is over.
    qsizetype limit = kBodyBytes;
    do {
      request.body = FeishuBody(channel, ChatText(event, limit), now);
      limit -= std::max<qsizetype>(request.body.size() - kBodyBytes, 1);
    } while (request.body.size() > kBodyBytes && limit > 0);
    return request;
  }

  Verdict Judge(const QByteArray& body) const override {
    return JudgeChatAnswer(body, u"code"_s, u"msg"_s, kTransient);
  }

  std::vector<RateLimit> Limits() const override { return {{5, 1s}, {100, 60s}}; }
};

}  // namespace

const ChannelKind& FeishuKind() {
  static const FeishuChannel kind;
  return kind;
}

}  // namespace skyloom

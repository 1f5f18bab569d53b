#include <QJsonObject>

#include "delivery/channel_kinds.h"
#include "delivery/message_text.h"

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

// What WeCom accepts in one text message.
constexpr qsizetype kContentBytes = 2048;
// A busy system, or too many messages.
constexpr qint64 kTransient[] = {-1, 45009};

class WeComChannel final : public ChannelKind {
 public:
  ChannelRequest Build(const NotifyChannel& channel, const Event& event,
                       const QDateTime&) const override {
    return {channel.url,
            CompactJson({{u"msgtype"_s, u"text"_s},
                         {u"text"_s, QJsonObject{{u"content"_s, ChatText(event, kContentBytes)}}}}),
            {}};
  }

  Verdict Judge(const QByteArray& body) const override {
    return JudgeChatAnswer(body, u"errcode"_s, u"errmsg"_s, kTransient);
  }

  std::vector<RateLimit> Limits() const override { return {{20, 60s}}; }
  bool TakesSecret() const override { return false; }
};

}  // namespace

const ChannelKind& WeComKind() {
  static const WeComChannel kind;
  return kind;
}

}  // namespace skyloom

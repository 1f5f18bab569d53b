#include <QJsonArray>
#include <QJsonObject>

#include "delivery/channel_kinds.h"
#include "delivery/chat_message.h"
#include "delivery/message_text.h"

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

// What WeCom accepts in one text message, and in one markdown message.
constexpr qsizetype kTextBytes = 2048;
constexpr qsizetype kMarkdownBytes = 4096;
// A busy system, or too many messages.
constexpr qint64 kTransient[] = {-1, 45009};

class WeComChannel final : public ChannelKind {
 public:
  ChannelRequest Build(const NotifyChannel& channel, const Event& event,
                       const QDateTime&) const override {
    const QStringList who = channel.MentionsOn(event.kind);
    if (channel.format == MessageFormat::Rich && who.isEmpty()) {
      const QString content = RenderMessage(
          ComposeMessage(event), {Markup::WeCom, kMarkdownBytes, true, channel.keyword, {}});
      return {channel.url,
              CompactJson({{u"msgtype"_s, u"markdown"_s},
                           {u"markdown"_s, QJsonObject{{u"content"_s, content}}}}),
              {}};
    }
    // WeCom pings people only from a text message: one that mentions goes as text.
    QJsonObject text{{u"content"_s,
                      channel.format == MessageFormat::Text
                          ? ChatText(event, kTextBytes, channel.keyword)
                          : RenderMessage(ComposeMessage(event),
                                          {Markup::Plain, kTextBytes, true, channel.keyword, {}})}};
    if (!who.isEmpty()) {
      QJsonArray mobiles;
      for (const QString& mobile : who) mobiles.append(mobile == u"all"_s ? u"@all"_s : mobile);
      text.insert(u"mentioned_mobile_list"_s, mobiles);
    }
    return {channel.url, CompactJson({{u"msgtype"_s, u"text"_s}, {u"text"_s, text}}), {}};
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

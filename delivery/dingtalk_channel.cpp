#include <QJsonArray>
#include <QJsonObject>
#include <QUrl>

#include "delivery/channel_kinds.h"
#include "delivery/chat_message.h"
#include "delivery/message_text.h"

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

// What DingTalk accepts in one message.
constexpr qsizetype kContentBytes = 2048;
// A busy system, or too many messages.
constexpr qint64 kTransient[] = {-1, 130101};

// 310000 is the bot's security settings refusing the message; its words say which.
QString RefusalWords(qint64 code, const QString& message) {
  if (code != 310000) return {};
  if (message.contains(u"keyword"_s, Qt::CaseInsensitive)) return KeywordRefused();
  if (message.contains(u"sign"_s, Qt::CaseInsensitive)) return SignatureRefused();
  if (message.contains(u"ip"_s, Qt::CaseInsensitive)) return AddressRefused();
  return u"security: the bot's security settings refused the message"_s;
}

// Signed, when there is a secret, in the address: a timestamp in milliseconds and its HMAC.
class DingTalkChannel final : public ChannelKind {
 public:
  ChannelRequest Build(const NotifyChannel& channel, const Event& event,
                       const QDateTime& now) const override {
    const QStringList who = channel.MentionsOn(event.kind);
    QStringList mobiles = who;
    mobiles.removeAll(u"all"_s);
    // DingTalk shows a mention only where the text names it.
    QStringList named;
    for (const QString& mobile : mobiles) named << u"@"_s + mobile;
    QJsonObject body;
    if (channel.format == MessageFormat::Text) {
      const QString mentions = named.isEmpty() ? QString() : u"\n"_s + named.join(u' ');
      const QString text =
          ChatText(event, kContentBytes - mentions.toUtf8().size(), channel.keyword) + mentions;
      body = {{u"msgtype"_s, u"text"_s}, {u"text"_s, QJsonObject{{u"content"_s, text}}}};
    } else {
      const ChatMessage message = ComposeMessage(event);
      const QStringList tail = named.isEmpty() ? QStringList() : QStringList{named.join(u' ')};
      const QString text =
          RenderMessage(message, {Markup::DingTalk, kContentBytes, true, channel.keyword, tail});
      // The title is what the chat list shows, and what the bot's keyword is looked for in.
      QString title = message.Title();
      if (!channel.keyword.isEmpty() && !title.contains(channel.keyword)) {
        title = u"【"_s + channel.keyword + u"】"_s + title;
      }
      body = {{u"msgtype"_s, u"markdown"_s},
              {u"markdown"_s, QJsonObject{{u"title"_s, title}, {u"text"_s, text}}}};
    }
    if (!who.isEmpty()) {
      body.insert(u"at"_s, QJsonObject{{u"atMobiles"_s, QJsonArray::fromStringList(mobiles)},
                                       {u"isAtAll"_s, who.contains(u"all"_s)}});
    }
    ChannelRequest request{channel.url, CompactJson(body), {}};
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
    return JudgeChatAnswer(body, u"errcode"_s, u"errmsg"_s, kTransient, &RefusalWords);
  }

  std::vector<RateLimit> Limits() const override { return {{20, 60s}}; }
};

}  // namespace

const ChannelKind& DingTalkKind() {
  static const DingTalkChannel kind;
  return kind;
}

}  // namespace skyloom

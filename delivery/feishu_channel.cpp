#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <algorithm>

#include "delivery/channel_kinds.h"
#include "delivery/chat_message.h"
#include "delivery/message_text.h"

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

// What Feishu accepts in one request.
constexpr qsizetype kBodyBytes = 20'000;
// A busy system, or too many messages.
constexpr qint64 kTransient[] = {-1, 11232};

QString RefusalWords(qint64 code, const QString&) {
  switch (code) {
    case 19021:
      return SignatureRefused();
    case 19022:
      return AddressRefused();
    case 19024:
      return KeywordRefused();
    default:
      return {};
  }
}

QString HeaderColour(const ChatMessage& message) {
  switch (message.kind) {
    case EventKind::NewForecast:
      return u"blue"_s;
    case EventKind::Failure:
      return u"red"_s;
    case EventKind::Recovery:
      return u"green"_s;
    case EventKind::Test:
      break;
  }
  return u"grey"_s;
}

// A card mentions in its markdown, a text message in its own tag.
QString Mention(const QString& who, bool card) {
  if (card) {
    return who.contains(u'@') ? u"<at email=%1></at>"_s.arg(who) : u"<at id=%1></at>"_s.arg(who);
  }
  return who == u"all"_s ? u"<at user_id=\"all\">所有人</at>"_s
                         : u"<at user_id=\"%1\"></at>"_s.arg(who);
}

QJsonObject Card(const NotifyChannel& channel, const ChatMessage& message, const QStringList& who,
                 qsizetype limit) {
  QStringList mentions;
  for (const QString& person : who) mentions << Mention(person, true);
  const QString content = RenderMessage(
      message, {Markup::Feishu, limit, false, {}, mentions.isEmpty() ? QStringList() : mentions});
  QString title = message.Title();
  if (!channel.keyword.isEmpty() && !title.contains(channel.keyword) &&
      !content.contains(channel.keyword)) {
    title = u"【"_s + channel.keyword + u"】"_s + title;
  }
  return QJsonObject{
      {u"config"_s, QJsonObject{{u"wide_screen_mode"_s, true}}},
      {u"header"_s,
       QJsonObject{{u"template"_s, HeaderColour(message)},
                   {u"title"_s, QJsonObject{{u"tag"_s, u"plain_text"_s}, {u"content"_s, title}}}}},
      {u"elements"_s, QJsonArray{QJsonObject{{u"tag"_s, u"div"_s},
                                             {u"text"_s, QJsonObject{{u"tag"_s, u"lark_md"_s},
                                                                     {u"content"_s, content}}}}}}};
}

class FeishuChannel final : public ChannelKind {
 public:
  ChannelRequest Build(const NotifyChannel& channel, const Event& event,
                       const QDateTime& now) const override {
    const QStringList who = channel.MentionsOn(event.kind);
    const bool card = channel.format == MessageFormat::Rich;
    const ChatMessage message = card ? ComposeMessage(event) : ChatMessage{};
    ChannelRequest request{channel.url, {}, {}};
    // The limit is on the body, escapes and markup included: cut the text by what is over.
    qsizetype limit = kBodyBytes;
    do {
      QJsonObject body;
      if (card) {
        body = {{u"msg_type"_s, u"interactive"_s}, {u"card"_s, Card(channel, message, who, limit)}};
      } else {
        QStringList mentions;
        for (const QString& person : who) mentions << Mention(person, false);
        const QString tail = mentions.isEmpty() ? QString() : u"\n"_s + mentions.join(u' ');
        body = {{u"msg_type"_s, u"text"_s},
                {u"content"_s,
                 QJsonObject{{u"text"_s, ChatText(event, limit, channel.keyword) + tail}}}};
      }
      Sign(channel, now, body);
      request.body = CompactJson(body);
      limit -= std::max<qsizetype>(request.body.size() - kBodyBytes, 1);
    } while (request.body.size() > kBodyBytes && limit > 0);
    return request;
  }

  Verdict Judge(const QByteArray& body) const override {
    return JudgeChatAnswer(body, u"code"_s, u"msg"_s, kTransient, &RefusalWords);
  }

  std::vector<RateLimit> Limits() const override { return {{5, 1s}, {100, 60s}}; }

  // Feishu mentions by user id or e-mail address: it has no use for a mobile number.
  std::optional<QString> MentionProblem(const QString& who) const override {
    static const QRegularExpression id(u"^[A-Za-z0-9_.@+-]{1,100}$"_s);
    static const QRegularExpression digits(u"^[0-9+-]+$"_s);
    if (id.match(who).hasMatch() && !digits.match(who).hasMatch()) return std::nullopt;
    return u"at= takes all, user ids (ou_…) or e-mail addresses for feishu"_s;
  }

 private:
  static void Sign(const NotifyChannel& channel, const QDateTime& now, QJsonObject& body) {
    if (channel.secret.isEmpty()) return;
    const QByteArray timestamp = QByteArray::number(now.toSecsSinceEpoch());
    body.insert(u"timestamp"_s, QString::fromLatin1(timestamp));
    body.insert(u"sign"_s, QString::fromLatin1(
                               Hmac(timestamp + '\n' + channel.secret.toUtf8(), {}).toBase64()));
  }
};

}  // namespace

const ChannelKind& FeishuKind() {
  static const FeishuChannel kind;
  return kind;
}

}  // namespace skyloom

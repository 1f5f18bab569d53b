#include "delivery/channel.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageAuthenticationCode>
#include <QRegularExpression>
#include <QUrl>
#include <QUrlQuery>
#include <algorithm>

#include "delivery/channel_kinds.h"
#include "delivery/message_text.h"

namespace skyloom {

using namespace Qt::StringLiterals;

namespace {

struct KindRow {
  QStringView type;  // as a notify line names it
  const ChannelKind& (*kind)();
};

// Every kind the program knows; adding one is a file and a row here.
constexpr KindRow kKinds[] = {
    {u"webhook", &WebhookKind},
    {u"wecom", &WeComKind},
    {u"dingtalk", &DingTalkKind},
    {u"feishu", &FeishuKind},
};

const KindRow* RowOf(QStringView type) {
  const auto row = std::ranges::find(kKinds, type, &KindRow::type);
  return row == std::end(kKinds) ? nullptr : row;
}

// Stable across restarts and machines, so rows keep their channel; the address's hash tells
// two bots on one host apart without showing the key that the address holds.
QString ChannelName(const QString& type, const QUrl& url) {
  const QByteArray digest =
      QCryptographicHash::hash((type + u' ' + url.toString()).toUtf8(), QCryptographicHash::Sha256);
  const QString port = url.port() > 0 ? u":%1"_s.arg(url.port()) : QString();
  return u"%1:%2%3:%4"_s.arg(type, url.host(), port, QString::fromLatin1(digest.left(4).toHex()));
}

QString KindNames() {
  QStringList names;
  for (const EventNames& entry : EventKinds()) {
    if (entry.kind != EventKind::Test) names << entry.name.toString();
  }
  return names.join(u", "_s);
}

// events=new,failure or at_events=…: added to `kinds`, which the first such option empties.
std::optional<QString> ReadKinds(const QString& value, bool& given, std::vector<EventKind>& kinds) {
  if (!std::exchange(given, true)) kinds.clear();
  for (const QString& name : value.split(u',')) {
    const auto kind = EventKindNamed(name);
    if (!kind || *kind == EventKind::Test) {
      return u"unknown event %1 (%2)"_s.arg(name, KindNames());
    }
    if (std::ranges::find(kinds, *kind) == kinds.end()) kinds.push_back(*kind);
  }
  return std::nullopt;
}

}  // namespace

// A receiver may quote what it was sent in its error, and the error is kept and shown: every
// part of the address that may be a key, and the secret, are masked.
QString MaskSecrets(const NotifyChannel& channel, QString text) {
  const QUrl url(channel.url);
  QStringList secrets{channel.secret};
  for (const auto& [key, value] : QUrlQuery(url).queryItems(QUrl::FullyDecoded)) secrets << value;
  for (const QString& part : url.path().split(u'/')) {
    if (part.size() >= 16) secrets << part;
  }
  for (const QString& secret : secrets) {
    if (secret.size() >= 4) text.replace(secret, u"…"_s);
  }
  return text;
}

std::optional<QString> ChannelKind::MentionProblem(const QString& who) const {
  static const QRegularExpression mobile(u"^\\+?[0-9][0-9-]{2,19}$"_s);
  if (mobile.match(who).hasMatch()) return std::nullopt;
  return u"at= takes all or mobile numbers"_s;
}

QByteArray Hmac(const QByteArray& key, const QByteArray& message) {
  return QMessageAuthenticationCode::hash(message, key, QCryptographicHash::Sha256);
}

QByteArray CompactJson(const QJsonObject& object) {
  return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

std::expected<NotifyChannel, QString> ParseChannel(const QString& line) {
  static const QRegularExpression blanks(u"\\s+"_s);
  const QStringList words = line.trimmed().split(blanks, Qt::SkipEmptyParts);
  if (words.isEmpty()) return std::unexpected(u"needs TYPE URL [key=value …]"_s);
  NotifyChannel channel;
  channel.type = words[0];
  const KindRow* row = RowOf(channel.type);
  if (!row) {
    QStringList types;
    for (const KindRow& known : kKinds) types << known.type.toString();
    return std::unexpected(
        u"unknown channel type %1 (%2)"_s.arg(channel.type, types.join(u", "_s)));
  }
  const QUrl url(words.value(1), QUrl::StrictMode);
  if (words.size() < 2 || !url.isValid() || url.host().isEmpty() ||
      (url.scheme() != u"http"_s && url.scheme() != u"https"_s)) {
    return std::unexpected(u"%1 needs an http:// or https:// address"_s.arg(channel.type));
  }
  channel.url = words[1];
  channel.name = ChannelName(channel.type, url);
  const ChannelKind& kind = row->kind();
  bool eventsGiven = false;
  bool mentionEventsGiven = false;
  for (const QString& option : words.mid(2)) {
    const qsizetype equals = option.indexOf(u'=');
    const QString key = option.left(equals);
    const QString value = equals < 0 ? QString() : option.mid(equals + 1);
    const bool chat = equals > 0 && kind.Chat();
    if (equals > 0 && key == u"secret"_s && kind.TakesSecret() && !value.isEmpty()) {
      if (auto problem = kind.SecretProblem(value)) return std::unexpected(*problem);
      channel.secret = value;
    } else if (equals > 0 && key == u"events"_s) {
      if (auto problem = ReadKinds(value, eventsGiven, channel.events)) {
        return std::unexpected(*problem);
      }
    } else if (chat && key == u"format"_s) {
      if (value != u"rich"_s && value != u"text"_s) {
        return std::unexpected(u"format= takes rich or text"_s);
      }
      channel.format = value == u"text"_s ? MessageFormat::Text : MessageFormat::Rich;
    } else if (chat && key == u"at"_s) {
      for (const QString& who : value.split(u',')) {
        if (who == u"all"_s) {
          channel.mentions.prepend(who);
          continue;
        }
        // A mention is no secret, but it is a person's number: named only by its place.
        if (auto problem = kind.MentionProblem(who)) {
          return std::unexpected(
              u"%1 (the value %2 of at=)"_s.arg(*problem).arg(value.split(u',').indexOf(who) + 1));
        }
        if (!channel.mentions.contains(who)) channel.mentions << who;
      }
      channel.mentions.removeDuplicates();
    } else if (chat && key == u"at_events"_s) {
      if (auto problem = ReadKinds(value, mentionEventsGiven, channel.mentionEvents)) {
        return std::unexpected(*problem);
      }
    } else if (chat && key == u"keyword"_s && !value.isEmpty()) {
      channel.keyword = value;
    } else {
      // The value may be a secret given to the wrong channel: only the key is named.
      return std::unexpected(u"unknown option %1 for %2"_s.arg(key, channel.type));
    }
  }
  return channel;
}

const ChannelKind& KindOf(const NotifyChannel& channel) {
  const KindRow* row = RowOf(channel.type);
  return row ? row->kind() : WebhookKind();
}

ChannelRequest BuildRequest(const NotifyChannel& channel, const Event& event,
                            const QDateTime& now) {
  ChannelRequest request = KindOf(channel).Build(channel, event, now);
  request.headers.emplace(request.headers.begin(), "Content-Type", "application/json");
  // The chat vendors ignore it; a proxy in front of them may use it.
  request.headers.emplace_back("Idempotency-Key", event.id.toUtf8());
  return request;
}

Verdict JudgeAnswer(const NotifyChannel& channel, const ClientAnswer& answer) {
  using Kind = Verdict::Kind;
  if (answer.errNum != 0) return {Kind::Retry, answer.errDes, {}};
  const int status = answer.status;
  if (status == 408 || status == 429) {
    return {Kind::Retry, u"HTTP status %1"_s.arg(status), answer.retryAfter};
  }
  // A receiver that is gone for good says so: the operator must change the line.
  if (status == 410) {
    return {Kind::GiveUp,
            u"HTTP status 410: the receiver is gone; remove or change this notify line"_s,
            {}};
  }
  if (status >= 400 && status < 500) return {Kind::GiveUp, u"HTTP status %1"_s.arg(status), {}};
  if (status < 200 || status >= 300) return {Kind::Retry, u"HTTP status %1"_s.arg(status), {}};
  Verdict verdict = KindOf(channel).Judge(answer.body);
  verdict.error = MaskSecrets(channel, verdict.error);
  return verdict;
}

QString KeywordRefused() {
  return u"keyword: the bot takes only messages that hold one of its keywords; give one as "
         u"keyword=WORD on this notify line"_s;
}

QString SignatureRefused() {
  return u"signature: the bot did not accept the signature; check that secret= on this notify "
         u"line is the bot's signing secret and that this machine's clock is right"_s;
}

QString AddressRefused() {
  return u"IP address: the bot takes messages only from the addresses on its list, and this "
         u"machine's is not one of them"_s;
}

Verdict JudgeChatAnswer(const QByteArray& body, const QString& codeKey, const QString& messageKey,
                        std::span<const qint64> transient, RefusalWords explain) {
  using Kind = Verdict::Kind;
  QJsonParseError parse{};
  const QJsonObject object = QJsonDocument::fromJson(body, &parse).object();
  if (parse.error != QJsonParseError::NoError || !object.value(codeKey).isDouble()) {
    const QString start = CutToBytes(QString::fromUtf8(body.left(200)).simplified(), 80);
    return {Kind::Retry, u"an answer without %1: %2"_s.arg(codeKey, start), {}};
  }
  const qint64 code = object.value(codeKey).toInteger();
  if (code == 0) return {Kind::Delivered, {}, {}};
  const QString message = object.value(messageKey).toString();
  QString why = u"%1 %2: %3"_s.arg(codeKey).arg(code).arg(message);
  const bool again = std::ranges::find(transient, code) != transient.end();
  if (const QString words = explain ? explain(code, message) : QString(); !words.isEmpty()) {
    why = u"%1 (%2)"_s.arg(words, why);
  }
  return {again ? Kind::Retry : Kind::GiveUp, why, {}};
}

}  // namespace skyloom

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

// A receiver may quote what it was sent in its error, and the error is kept and shown: every
// part of the address that may be a key, and the secret, are masked.
QString Masked(const NotifyChannel& channel, QString text) {
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

QString KindNames() {
  QStringList names;
  for (const EventNames& entry : EventKinds()) {
    if (entry.kind != EventKind::Test) names << entry.name.toString();
  }
  return names.join(u", "_s);
}

}  // namespace

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
  bool eventsGiven = false;
  for (const QString& option : words.mid(2)) {
    const qsizetype equals = option.indexOf(u'=');
    const QString key = option.left(equals);
    const QString value = equals < 0 ? QString() : option.mid(equals + 1);
    if (equals > 0 && key == u"secret"_s && row->kind().TakesSecret() && !value.isEmpty()) {
      channel.secret = value;
    } else if (equals > 0 && key == u"events"_s) {
      if (!eventsGiven) channel.events.clear();
      eventsGiven = true;
      for (const QString& name : value.split(u',')) {
        const auto kind = EventKindNamed(name);
        if (!kind || *kind == EventKind::Test) {
          return std::unexpected(u"unknown event %1 (%2)"_s.arg(name, KindNames()));
        }
        if (!channel.Takes(*kind)) channel.events.push_back(*kind);
      }
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
  if (status >= 400 && status < 500) return {Kind::GiveUp, u"HTTP status %1"_s.arg(status), {}};
  if (status < 200 || status >= 300) return {Kind::Retry, u"HTTP status %1"_s.arg(status), {}};
  Verdict verdict = KindOf(channel).Judge(answer.body);
  verdict.error = Masked(channel, verdict.error);
  return verdict;
}

Verdict JudgeChatAnswer(const QByteArray& body, const QString& codeKey, const QString& messageKey,
                        std::span<const qint64> transient) {
  using Kind = Verdict::Kind;
  QJsonParseError parse{};
  const QJsonObject object = QJsonDocument::fromJson(body, &parse).object();
  if (parse.error != QJsonParseError::NoError || !object.value(codeKey).isDouble()) {
    const QString start = CutToBytes(QString::fromUtf8(body.left(200)).simplified(), 80);
    return {Kind::Retry, u"an answer without %1: %2"_s.arg(codeKey, start), {}};
  }
  const qint64 code = object.value(codeKey).toInteger();
  if (code == 0) return {Kind::Delivered, {}, {}};
  const QString why =
      u"%1 %2: %3"_s.arg(codeKey).arg(code).arg(object.value(messageKey).toString());
  const bool again = std::ranges::find(transient, code) != transient.end();
  return {again ? Kind::Retry : Kind::GiveUp, why, {}};
}

}  // namespace skyloom

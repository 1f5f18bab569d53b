#include "delivery/channel.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageAuthenticationCode>
#include <QRegularExpression>
#include <QUrl>
#include <algorithm>

#include "delivery/message_text.h"

namespace skyloom {

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

const QString kWebhook = u"webhook"_s;
const QString kWeCom = u"wecom"_s;
const QString kDingTalk = u"dingtalk"_s;
const QString kFeishu = u"feishu"_s;

// What the vendors accept in one text message.
constexpr qsizetype kChatContentBytes = 2048;
constexpr qsizetype kFeishuBodyBytes = 20'000;

QByteArray Hmac(const QByteArray& key, const QByteArray& message) {
  return QMessageAuthenticationCode::hash(message, key, QCryptographicHash::Sha256);
}

QByteArray Json(const QJsonObject& object) {
  return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// Stable across restarts and machines, so rows keep their channel; the address's hash tells
// two bots on one host apart without showing the key that the address holds.
QString ChannelName(const QString& type, const QUrl& url) {
  const QByteArray digest =
      QCryptographicHash::hash((type + u' ' + url.toString()).toUtf8(), QCryptographicHash::Sha256);
  const QString port = url.port() > 0 ? u":%1"_s.arg(url.port()) : QString();
  return u"%1:%2%3:%4"_s.arg(type, url.host(), port, QString::fromLatin1(digest.left(4).toHex()));
}

QJsonValue OrNull(const QJsonObject& message, const QString& key) {
  return message.contains(key) ? message.value(key) : QJsonValue(QJsonValue::Null);
}

QByteArray WebhookBody(const DeliveryRow& row) {
  const QJsonObject message = QJsonDocument::fromJson(row.message.toUtf8()).object();
  const QJsonValue text = OrNull(message, u"text"_s);
  return Json(
      {{u"event"_s, row.event},
       {u"id"_s, OrNull(message, u"id"_s)},
       {u"logtime"_s, OrNull(message, u"logtime"_s)},
       {u"text"_s, text},
       {u"readable_text"_s, text.isString() ? QJsonValue(MessageForecast(text.toString())) : text},
       {u"status"_s, OrNull(message, u"status"_s)},
       {u"errnum"_s, OrNull(message, u"errnum"_s)},
       {u"description"_s, OrNull(message, u"description"_s)},
       {u"failures"_s, OrNull(message, u"failures"_s)}});
}

QByteArray FeishuBody(const NotifyChannel& channel, const QString& text, const QDateTime& now) {
  QJsonObject body{{u"msg_type"_s, u"text"_s}, {u"content"_s, QJsonObject{{u"text"_s, text}}}};
  if (!channel.secret.isEmpty()) {
    const QByteArray timestamp = QByteArray::number(now.toSecsSinceEpoch());
    body.insert(u"timestamp"_s, QString::fromLatin1(timestamp));
    body.insert(u"sign"_s, QString::fromLatin1(
                               Hmac(timestamp + '\n' + channel.secret.toUtf8(), {}).toBase64()));
  }
  return Json(body);
}

}  // namespace

std::expected<NotifyChannel, QString> ParseChannel(const QString& line) {
  static const QRegularExpression blanks(u"\\s+"_s);
  const QStringList words = line.trimmed().split(blanks, Qt::SkipEmptyParts);
  if (words.isEmpty()) return std::unexpected(u"needs TYPE URL [key=value …]"_s);
  NotifyChannel channel;
  channel.type = words[0];
  if (!QStringList{kWebhook, kWeCom, kDingTalk, kFeishu}.contains(channel.type)) {
    return std::unexpected(
        u"unknown channel type %1 (webhook, wecom, dingtalk or feishu)"_s.arg(channel.type));
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
    if (equals > 0 && key == u"secret"_s && channel.type != kWeCom && !value.isEmpty()) {
      channel.secret = value;
    } else if (equals > 0 && key == u"events"_s) {
      if (!eventsGiven) channel.onNew = channel.onFailure = channel.onRecovery = false;
      eventsGiven = true;
      for (const QString& event : value.split(u',')) {
        if (event == kEventNew) {
          channel.onNew = true;
        } else if (event == kEventFailure) {
          channel.onFailure = true;
        } else if (event == kEventRecovery) {
          channel.onRecovery = true;
        } else {
          return std::unexpected(u"unknown event %1 (new, failure or recovery)"_s.arg(event));
        }
      }
    } else {
      // The value may be a secret given to the wrong channel: only the key is named.
      return std::unexpected(u"unknown option %1 for %2"_s.arg(key, channel.type));
    }
  }
  return channel;
}

bool TakesEvent(const NotifyChannel& channel, const QString& event) {
  return (event == kEventNew && channel.onNew) || (event == kEventFailure && channel.onFailure) ||
         (event == kEventRecovery && channel.onRecovery);
}

ChannelRequest BuildRequest(const NotifyChannel& channel, const DeliveryRow& row,
                            const QDateTime& now) {
  ChannelRequest request{channel.url, {}, {{"Content-Type", "application/json"}}};
  // The chat vendors ignore it; a proxy in front of them may use it.
  request.headers.emplace_back("Idempotency-Key", row.eventId.toUtf8());
  if (channel.type == kWebhook) {
    request.body = WebhookBody(row);
    if (!channel.secret.isEmpty()) {
      request.headers.emplace_back("X-Skyloom-Signature",
                                   "sha256=" + Hmac(channel.secret.toUtf8(), request.body).toHex());
    }
  } else if (channel.type == kFeishu) {
    // The limit is on the body, escapes included: cut the text by what is over.
    qsizetype limit = kFeishuBodyBytes;
    do {
      request.body = FeishuBody(channel, ChatText(row, limit), now);
      limit -= std::max<qsizetype>(request.body.size() - kFeishuBodyBytes, 1);
    } while (request.body.size() > kFeishuBodyBytes && limit > 0);
  } else {
    request.body =
        Json({{u"msgtype"_s, u"text"_s},
              {u"text"_s, QJsonObject{{u"content"_s, ChatText(row, kChatContentBytes)}}}});
    if (channel.type == kDingTalk && !channel.secret.isEmpty()) {
      const QByteArray timestamp = QByteArray::number(now.toMSecsSinceEpoch());
      const QByteArray secret = channel.secret.toUtf8();
      const QByteArray sign = Hmac(secret, timestamp + '\n' + secret).toBase64();
      request.url += (channel.url.contains(u'?') ? u"&"_s : u"?"_s) + u"timestamp="_s +
                     QString::fromLatin1(timestamp) + u"&sign="_s +
                     QString::fromLatin1(QUrl::toPercentEncoding(QString::fromLatin1(sign)));
    }
  }
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
  if (channel.type == kWebhook) return {Kind::Delivered, {}, {}};

  QJsonParseError parse{};
  const QJsonDocument document = QJsonDocument::fromJson(answer.body, &parse);
  const bool feishu = channel.type == kFeishu;
  const QString codeKey = feishu ? u"code"_s : u"errcode"_s;
  const QJsonObject object = document.object();
  if (parse.error != QJsonParseError::NoError || !object.value(codeKey).isDouble()) {
    const QString start = CutToBytes(QString::fromUtf8(answer.body.left(200)).simplified(), 80);
    return {Kind::Retry, u"an answer without %1: %2"_s.arg(codeKey, start), {}};
  }
  const qint64 code = object.value(codeKey).toInteger();
  if (code == 0) return {Kind::Delivered, {}, {}};
  const QString why = u"%1 %2: %3"_s.arg(codeKey).arg(code).arg(
      object.value(feishu ? u"msg"_s : u"errmsg"_s).toString());
  // Too many messages (WeCom, DingTalk, Feishu) or a busy system: worth another try.
  const bool transient = code == -1 || code == 45009 || code == 130101 || code == 11232;
  return {transient ? Kind::Retry : Kind::GiveUp, why, {}};
}

std::vector<RateLimit> RateLimits(const NotifyChannel& channel) {
  if (channel.type == kWeCom || channel.type == kDingTalk) return {{20, 60s}};
  if (channel.type == kFeishu) return {{5, 1s}, {100, 60s}};
  return {};
}

std::chrono::seconds Backoff(int tries) {
  const int doublings = std::clamp(tries - 1, 0, 10);
  return std::min<std::chrono::seconds>(10s * (1 << doublings), 600s);
}

}  // namespace skyloom

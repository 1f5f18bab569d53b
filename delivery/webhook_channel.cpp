#include <QJsonArray>
#include <QJsonObject>

#include "delivery/channel_kinds.h"
#include "delivery/chat_message.h"
#include "delivery/message_text.h"

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;

// Standard Webhooks' secrets are written "whsec_" and the key in base64.
constexpr QStringView kKeyPrefix = u"whsec_";

std::optional<QByteArray> SigningKey(const QString& secret) {
  if (!secret.startsWith(kKeyPrefix)) return secret.toUtf8();
  const auto decoded = QByteArray::fromBase64Encoding(secret.mid(kKeyPrefix.size()).toLatin1(),
                                                      QByteArray::AbortOnBase64DecodingErrors);
  if (!decoded || decoded.decoded.isEmpty()) return std::nullopt;
  return decoded.decoded;
}

// The event as JSON for any receiver, with every key always present (null where the kind has
// no such value), signed with the secret when there is one, both as Standard Webhooks sign
// and as earlier releases did.
class WebhookChannel final : public ChannelKind {
 public:
  ChannelRequest Build(const NotifyChannel& channel, const Event& event,
                       const QDateTime& now) const override {
    const bool forecast = event.kind == EventKind::NewForecast;
    const bool hasText = forecast || event.kind == EventKind::Test;
    const bool attempt = event.kind == EventKind::Failure || event.kind == EventKind::Recovery;
    const auto either = [](bool present, const QJsonValue& value) {
      return present ? value : QJsonValue(QJsonValue::Null);
    };
    const ForecastComparison comparison = CompareWithPrevious(event);
    QJsonArray changes;
    for (const FieldChange& change : comparison.fields) changes.append(ChangeText(change));
    ChannelRequest request{channel.url, {}, {}};
    request.body = CompactJson({
        {u"event"_s, NamesOf(event.kind).name.toString()},
        {u"event_id"_s, event.id},
        {u"id"_s, either(forecast, event.forecastId)},
        {u"logtime"_s, event.logtime},
        {u"text"_s, either(hasText, event.text)},
        {u"readable_text"_s, either(hasText, MessageForecast(event.text))},
        {u"previous_id"_s,
         either(forecast && event.previous.has_value(), event.previous ? event.previous->id : 0)},
        {u"correction"_s, either(forecast, comparison.correction)},
        {u"changes"_s, either(forecast, changes)},
        {u"status"_s, either(attempt, event.status)},
        {u"errnum"_s, either(attempt, event.number)},
        {u"description"_s, either(attempt, event.description)},
        {u"failures"_s, either(attempt, event.failures)},
    });
    const QByteArray id = event.id.toUtf8();
    const QByteArray timestamp = QByteArray::number(now.toSecsSinceEpoch());
    request.headers.emplace_back("webhook-id", id);
    request.headers.emplace_back("webhook-timestamp", timestamp);
    if (!channel.secret.isEmpty()) {
      const QByteArray key = SigningKey(channel.secret).value_or(QByteArray());
      request.headers.emplace_back(
          "webhook-signature",
          "v1," + Hmac(key, id + '.' + timestamp + '.' + request.body).toBase64());
      request.headers.emplace_back("X-Skyloom-Signature",
                                   "sha256=" + Hmac(channel.secret.toUtf8(), request.body).toHex());
    }
    return request;
  }

  Verdict Judge(const QByteArray&) const override { return {Verdict::Kind::Delivered, {}, {}}; }

  std::optional<QString> SecretProblem(const QString& secret) const override {
    if (SigningKey(secret)) return std::nullopt;
    return u"secret=whsec_… needs its key in base64 after whsec_"_s;
  }

  bool Chat() const override { return false; }
};

}  // namespace

const ChannelKind& WebhookKind() {
  static const WebhookChannel kind;
  return kind;
}

}  // namespace skyloom

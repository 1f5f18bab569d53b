#include <QJsonObject>

#include "delivery/channel_kinds.h"
#include "delivery/message_text.h"

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;

// The event as JSON for any receiver, with every key always present (null where the kind has
// no such value), signed with the secret when there is one.
class WebhookChannel final : public ChannelKind {
 public:
  ChannelRequest Build(const NotifyChannel& channel, const Event& event,
                       const QDateTime&) const override {
    const bool forecast = event.kind == EventKind::NewForecast;
    const bool hasText = forecast || event.kind == EventKind::Test;
    const bool attempt = event.kind == EventKind::Failure || event.kind == EventKind::Recovery;
    const auto either = [](bool present, const QJsonValue& value) {
      return present ? value : QJsonValue(QJsonValue::Null);
    };
    ChannelRequest request{channel.url, {}, {}};
    request.body = CompactJson({
        {u"event"_s, NamesOf(event.kind).name.toString()},
        {u"id"_s, either(forecast, event.forecastId)},
        {u"logtime"_s, event.logtime},
        {u"text"_s, either(hasText, event.text)},
        {u"readable_text"_s, either(hasText, MessageForecast(event.text))},
        {u"status"_s, either(attempt, event.status)},
        {u"errnum"_s, either(attempt, event.number)},
        {u"description"_s, either(attempt, event.description)},
        {u"failures"_s, either(attempt, event.failures)},
    });
    if (!channel.secret.isEmpty()) {
      request.headers.emplace_back("X-Skyloom-Signature",
                                   "sha256=" + Hmac(channel.secret.toUtf8(), request.body).toHex());
    }
    return request;
  }

  Verdict Judge(const QByteArray&) const override { return {Verdict::Kind::Delivered, {}, {}}; }
};

}  // namespace

const ChannelKind& WebhookKind() {
  static const WebhookChannel kind;
  return kind;
}

}  // namespace skyloom

#pragma once

#include <QByteArray>
#include <QString>
#include <chrono>
#include <expected>
#include <optional>
#include <vector>

#include "collecting/service_settings.h"
#include "platform/http_post.h"
#include "store/outbox.h"

namespace skyloom {

// A `notify` line: TYPE URL [events=…] [secret=…]. What is wrong never quotes the address or
// the secret.
std::expected<NotifyChannel, QString> ParseChannel(const QString& line);

// Whether `channel` takes `event` (new, failure or recovery).
bool TakesEvent(const NotifyChannel& channel, const QString& event);

struct ChannelRequest {
  QString url;
  QByteArray body;
  HttpHeaders headers;
};

// The request that carries `row` on its channel; `now` signs it.
ChannelRequest BuildRequest(const NotifyChannel& channel, const DeliveryRow& row,
                            const QDateTime& now);

// What an answer means for the delivery.
struct Verdict {
  enum class Kind { Delivered, Retry, GiveUp };
  Kind kind = Kind::Retry;
  QString error;  // why it was not delivered
  std::optional<std::chrono::seconds> retryAfter;
};

Verdict JudgeAnswer(const NotifyChannel& channel, const ClientAnswer& answer);

// At most `count` messages every `per`: a receiver refuses more, so more wait their turn.
struct RateLimit {
  int count;
  std::chrono::milliseconds per;
};
std::vector<RateLimit> RateLimits(const NotifyChannel& channel);

// The wait after the `tries`-th failed try: from 10 s, doubled each time, up to 10 minutes.
std::chrono::seconds Backoff(int tries);

}  // namespace skyloom

#pragma once

#include <QtGlobal>
#include <algorithm>
#include <chrono>
#include <span>
#include <vector>

#include "delivery/channel.h"
#include "store/outbox.h"

namespace skyloom {

// The outbox's rules as functions of the times they are given, so that a day of retries can
// be walked through without waiting for it.

// When the next message may go out under every window of `limits`, given when the latest
// went out (oldest first).
template <typename TimePoint>
TimePoint NextAllowed(std::span<const TimePoint> sent, std::span<const RateLimit> limits,
                      TimePoint now) {
  TimePoint allowed = now;
  for (const RateLimit& limit : limits) {
    if (std::ssize(sent) >= limit.count) {
      allowed = std::max(allowed, sent[sent.size() - limit.count] + limit.per);
    }
  }
  return allowed;
}

// The rate windows as the group's sent rows leave them, for a collector that takes over or
// starts: `sent` are when they went (seconds since 1970, oldest first) on the clock that reads
// `nowSeconds` at `now`. Each counts from the end of its second, never earlier than it went.
template <typename TimePoint>
std::vector<TimePoint> SentWindow(std::span<const qint64> sent, qint64 nowSeconds, TimePoint now) {
  std::vector<TimePoint> window;
  for (const qint64 at : sent) {
    window.push_back(std::min(now, now - std::chrono::seconds(nowSeconds - at - 1)));
  }
  return window;
}

// The wait after the `tries`-th failed try: from 10 s, doubled each time, up to 10 minutes.
std::chrono::seconds Backoff(int tries);

// A row after one try that ended with `verdict` at `now` (seconds since 1970).
struct TryOutcome {
  enum class Kind { Sent, Retried, GivenUp };
  Kind kind = Kind::Sent;
  DeliveryRow row;
  bool outOfTime = false;       // given up: not delivered within the give-up time
  std::chrono::seconds wait{};  // retried: until the next try
};
TryOutcome AfterTry(DeliveryRow row, const Verdict& verdict, qint64 now,
                    std::chrono::seconds giveUp);

}  // namespace skyloom

#include "delivery/delivery_rules.h"

namespace skyloom {

using namespace std::chrono_literals;

std::chrono::seconds Backoff(int tries) {
  const int doublings = std::clamp(tries - 1, 0, 10);
  return std::min<std::chrono::seconds>(10s * (1 << doublings), 600s);
}

TryOutcome AfterTry(DeliveryRow row, const Verdict& verdict, qint64 now,
                    std::chrono::seconds giveUp) {
  ++row.tries;
  TryOutcome outcome;
  if (verdict.kind == Verdict::Kind::Delivered) {
    row.state = kDeliverySent;
    row.lastError.clear();
    // A collector that takes over counts it in the channel's rate.
    row.nextTry = now;
    outcome.row = std::move(row);
    return outcome;
  }
  row.lastError = verdict.error;
  outcome.outOfTime = verdict.kind == Verdict::Kind::Retry && now - row.Start() >= giveUp.count();
  if (verdict.kind == Verdict::Kind::GiveUp || outcome.outOfTime) {
    outcome.kind = TryOutcome::Kind::GivenUp;
    row.state = kDeliveryGivenUp;
  } else {
    outcome.kind = TryOutcome::Kind::Retried;
    // A receiver's own wait is honoured, within reason: neither at once nor after hours.
    outcome.wait = verdict.retryAfter
                       ? std::clamp<std::chrono::seconds>(*verdict.retryAfter, 1s, 3600s)
                       : Backoff(row.tries);
    row.nextTry = now + outcome.wait.count();
  }
  outcome.row = std::move(row);
  return outcome;
}

}  // namespace skyloom

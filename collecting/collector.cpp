#include "collecting/collector.h"

namespace skyloom {
namespace {

using namespace std::chrono_literals;

constexpr auto kStoreRetryPause = 250ms;

}  // namespace

Collector::Collector(const Clock& clock, ForecastStore& store, HttpLimits limits,
                     PageMarkers markers)
    : clock_(clock), store_(store), limits_(limits), markers_(std::move(markers)) {}

Attempt Collector::Fetch(const QString& addressBoxText, bool timed,
                         const std::function<bool()>& keep, const std::optional<QDateTime>& slot) {
  const PageClient* client = nullptr;
  {
    const std::lock_guard lock(clientMutex_);
    client_ = std::make_unique<PageClient>(limits_);
    client = client_.get();
    if (cancelled_) client_->Cancel();
  }
  const PageResponse page = client->Get(StampedAddress(addressBoxText, clock_.Now()));
  const FetchResult fetch = ReadForecast(page, markers_);
  Attempt attempt;
  attempt.timed = timed;
  if (keep && !keep()) {
    attempt.dropped = true;
    attempt.finishedAt = clock_.Now();
    const std::lock_guard lock(clientMutex_);
    client_.reset();
    return attempt;
  }
  if (fetch.forecast) text_ = *fetch.forecast;

  attempt.shown = ResultBoxText(fetch, text_);
  attempt.stored = store_.Record(fetch, AttemptContext{clock_.Now(), slot});
  // The server went away mid-call (a failover): the page is kept and stored on the next one
  // to take it, while the turn and the slot last. The store paces its reconnects.
  while (slot && keep && attempt.stored.error && attempt.stored.error->connectionLost) {
    {
      std::unique_lock lock(clientMutex_);
      if (cancelledChanged_.wait_for(lock, kStoreRetryPause, [this] { return cancelled_; })) break;
    }
    if (!keep()) break;
    attempt.stored = store_.Record(fetch, AttemptContext{clock_.Now(), slot, /*again=*/true});
  }
  attempt.finishedAt = clock_.Now();
  const std::lock_guard lock(clientMutex_);
  client_.reset();
  return attempt;
}

void Collector::Cancel() {
  {
    const std::lock_guard lock(clientMutex_);
    cancelled_ = true;
    if (client_) client_->Cancel();
  }
  cancelledChanged_.notify_all();
  store_.Interrupt();
}

}  // namespace skyloom

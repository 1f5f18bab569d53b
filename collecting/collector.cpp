#include "collecting/collector.h"

namespace skyloom {

QStringList NewForecastChannels(const std::vector<NotifyChannel>& channels) {
  QStringList names;
  for (const NotifyChannel& channel : channels) {
    if (channel.onNew) names << channel.name;
  }
  return names;
}

Collector::Collector(const Clock& clock, ForecastStore& store, HttpLimits limits,
                     PageMarkers markers)
    : clock_(clock), store_(store), limits_(limits), markers_(std::move(markers)) {}

Attempt Collector::Fetch(const QString& addressBoxText, bool timed,
                         const std::function<bool()>& keep) {
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
  attempt.stored = store_.Record(fetch);
  if (attempt.stored.outcome == StoreOutcome::Stored && !attempt.stored.error) {
    // The row's own time, as readers of the database see it.
    const qint64 id = attempt.stored.forecastId;
    const auto rows = store_.NewestForecasts(1, id + 1);
    if (rows && !rows->empty() && rows->front().id == id) attempt.newForecast = rows->front();
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
  store_.Interrupt();
}

}  // namespace skyloom

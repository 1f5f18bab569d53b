#include "collecting/collector.h"

namespace skyloom {

Collector::Collector(const Clock& clock, ForecastStore& store, HttpLimits limits)
    : clock_(clock), store_(store), limits_(limits) {}

Attempt Collector::Fetch(const QString& addressBoxText) {
  const PageRequest request = BeginFetch(addressBoxText);
  return FinishFetch(request.client->Get(request.address));
}

PageRequest Collector::BeginFetch(const QString& addressBoxText) {
  client_ = std::make_unique<PageClient>(limits_);
  return PageRequest{client_.get(), StampedAddress(addressBoxText, clock_.Now())};
}

Attempt Collector::FinishFetch(const PageResponse& page) {
  const FetchResult fetch = ReadForecast(page);
  const QString previousText = std::exchange(text_, AttemptText(fetch, text_));
  Attempt attempt{ResultBoxText(fetch, text_), store_.Record(fetch, previousText)};
  client_.reset();
  return attempt;
}

void Collector::CancelFetch() {
  if (client_) client_->Cancel();
}

}  // namespace skyloom

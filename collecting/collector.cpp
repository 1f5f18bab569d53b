#include "collecting/collector.h"

namespace skyloom {

Collector::Collector(const Clock& clock, ForecastStore& store, HttpLimits limits,
                     PageMarkers markers)
    : clock_(clock), store_(store), limits_(limits), markers_(std::move(markers)) {}

Attempt Collector::Fetch(const QString& addressBoxText) {
  const PageRequest request = BeginFetch(addressBoxText);
  return FinishFetch(request.client->Get(request.address));
}

PageRequest Collector::BeginFetch(const QString& addressBoxText) {
  client_ = std::make_unique<PageClient>(limits_);
  return PageRequest{client_.get(), StampedAddress(addressBoxText, clock_.Now())};
}

Attempt Collector::FinishFetch(const PageResponse& page) {
  const FetchResult fetch = ReadForecast(page, markers_);
  if (fetch.forecast) text_ = *fetch.forecast;
  Attempt attempt{ResultBoxText(fetch, text_), store_.Record(fetch, text_)};
  client_.reset();
  return attempt;
}

void Collector::CancelFetch() {
  if (client_) client_->Cancel();
}

}  // namespace skyloom

#include "app/collector.h"

#include "acquisition/fetch_cycle.h"

namespace skyloom {

Collector::Collector(const Clock& clock, ForecastStore store, HttpLimits limits)
    : clock_(clock), store_(std::move(store)), limits_(limits) {}

std::optional<StoreError> Collector::FetchForecast(const QString& addressBoxText,
                                                   ResultView& view) {
  const PageRequest request = BeginFetch(addressBoxText);
  const QString page = request.web->GetDataAsString(request.address);
  return FinishFetch(page, view);
}

PageRequest Collector::BeginFetch(const QString& addressBoxText) {
  state_.Web = std::make_unique<clsXMLWeb>(limits_);
  return PageRequest{state_.Web.get(), FetchAddress(addressBoxText, clock_.Now())};
}

std::optional<StoreError> Collector::FinishFetch(const QString& page, ResultView& view) {
  view.ShowResult(TakePage(state_, page));
  auto error = store_.WriteToDB(state_);
  state_.Web.reset();
  return error;
}

}  // namespace skyloom

#pragma once

#include <QString>
#include <optional>

#include "app/fetch_state.h"
#include "app/result_view.h"
#include "platform/clock.h"
#include "platform/http_get.h"
#include "store/forecast_store.h"

namespace skyloom {

// The address and client of one request, handed to whichever thread waits for the server.
struct PageRequest {
  clsXMLWeb* web;
  QString address;
};

// Owns the fetch state and runs fetch cycles: the window and the headless runner each own one.
class Collector final {
 public:
  Collector(const Clock& clock, ForecastStore store, HttpLimits limits = {});
  Collector(const Collector&) = delete;
  Collector& operator=(const Collector&) = delete;

  FetchState& State() { return state_; }
  const FetchState& State() const { return state_; }
  const Clock& clock() const { return clock_; }

  // One whole cycle on the calling thread.
  std::optional<StoreError> FetchForecast(const QString& addressBoxText, ResultView& view);

  // The same cycle in two halves around the request, which may run on another thread:
  // BeginFetch makes a fresh client and the address; FinishFetch takes the page, shows it,
  // stores and logs the attempt, and releases the client.
  PageRequest BeginFetch(const QString& addressBoxText);
  std::optional<StoreError> FinishFetch(const QString& page, ResultView& view);
  bool Fetching() const { return state_.Web != nullptr; }

 private:
  const Clock& clock_;
  ForecastStore store_;
  HttpLimits limits_;
  FetchState state_;
};

}  // namespace skyloom

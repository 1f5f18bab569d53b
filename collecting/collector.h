#pragma once

#include <QString>
#include <memory>

#include "acquisition/forecast_text.h"
#include "acquisition/page_client.h"
#include "platform/clock.h"
#include "store/forecast_store.h"

namespace skyloom {

// What one fetch cycle did.
struct Attempt {
  QString shown;       // what the result box shows
  StoreResult stored;  // what the store kept and logged
};

// The address and client of one request, handed to whichever thread waits for the server.
struct PageRequest {
  const PageClient* client;  // valid until FinishFetch
  QString address;
};

// Runs fetch cycles into a store and carries the text of one attempt to the next: the
// window and the headless runner each own one.
class Collector final {
 public:
  Collector(const Clock& clock, ForecastStore& store, HttpLimits limits = {},
            PageMarkers markers = {});
  Collector(const Collector&) = delete;
  Collector& operator=(const Collector&) = delete;

  const Clock& clock() const { return clock_; }

  // One whole cycle on the calling thread.
  Attempt Fetch(const QString& addressBoxText);

  // The same cycle in two halves around the request, which may run on another thread:
  // BeginFetch makes a fresh client and the address; FinishFetch reads the page, stores and
  // logs the attempt, and releases the client.
  PageRequest BeginFetch(const QString& addressBoxText);
  Attempt FinishFetch(const PageResponse& page);
  // Ends the running request early; its cycle still has to be finished.
  void CancelFetch();
  bool Fetching() const { return client_ != nullptr; }

  // The last forecast cut out; an attempt without one keeps it.
  const QString& Text() const { return text_; }

 private:
  const Clock& clock_;
  ForecastStore& store_;
  HttpLimits limits_;
  PageMarkers markers_;
  std::unique_ptr<PageClient> client_;
  QString text_;
};

}  // namespace skyloom

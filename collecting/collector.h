#pragma once

#include <QString>
#include <QStringList>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "acquisition/forecast_text.h"
#include "acquisition/page_client.h"
#include "collecting/attempt.h"
#include "platform/clock.h"
#include "store/forecast_store.h"

namespace skyloom {

// Runs fetch cycles into a store and carries the text of one attempt to the next. A cycle
// blocks on the server and the database, so it runs on a worker thread; only Cancel may be
// called from another thread meanwhile.
class Collector final {
 public:
  Collector(const Clock& clock, ForecastStore& store, HttpLimits limits = {},
            PageMarkers markers = {});
  Collector(const Collector&) = delete;
  Collector& operator=(const Collector&) = delete;

  const Clock& clock() const { return clock_; }

  // One whole cycle: download, read the forecast, store and log the attempt. When `keep`
  // says no after the download, nothing is stored or logged and the attempt is dropped. A
  // timed attempt of a group records its `slot` with it.
  Attempt Fetch(const QString& addressBoxText, bool timed = false,
                const std::function<bool()>& keep = {},
                const std::optional<QDateTime>& slot = std::nullopt);
  // Ends a running cycle early, from any thread: the request at once, a store call as soon as
  // the database lets it. The cycle still returns, and logs what it can.
  void Cancel();

  // The last forecast cut out; an attempt without one keeps it.
  const QString& Text() const { return text_; }

 private:
  const Clock& clock_;
  ForecastStore& store_;
  HttpLimits limits_;
  PageMarkers markers_;
  std::mutex clientMutex_;  // Cancel comes from another thread
  std::condition_variable cancelledChanged_;
  std::unique_ptr<PageClient> client_;
  bool cancelled_ = false;  // for good: only a program that is stopping cancels
  QString text_;
};

}  // namespace skyloom

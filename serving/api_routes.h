#pragma once

#include <QString>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "http/http_server.h"
#include "schedule/sync_schedule.h"
#include "serving/health.h"
#include "serving/status_page.h"
#include "store/collector_lease.h"
#include "store/forecast_store.h"

namespace skyloom {

class Clock;
class ForecastEvents;
class Metrics;
class StoreReaders;

// This collector's place in its group: set from any thread, read by health and metrics.
struct SharedStanding {
  mutable std::mutex mutex;
  GroupStanding value;
  GroupStanding Get() const {
    const std::lock_guard lock(mutex);
    return value;
  }
};

inline constexpr char kJson[] = "application/json";
// How many rows a page of /forecasts or /attempts holds unless asked, and at most.
inline constexpr qint64 kDefaultLimit = 20;
inline constexpr qint64 kMaxLimit = 1000;
// How far back health looks for the last success: weeks of timed fetches.
inline constexpr int kHealthAttempts = 1000;

// Every answer may be read by a page of any origin, ETag included.
ServerAnswer Make(int status, const char* contentType, std::string body);
ServerAnswer Fail(int status, const QString& message);
// What clients are told; the store's own message, which may name a server and its user, goes
// to standard error.
QString Unreadable(const StoreError& error);
// An answer a browser may show, held to the status page's rules.
ServerAnswer PageAnswer(const PageFile& file);

// The API's routes, one file per resource family beside api_routes.cpp, which holds the table:
// forecast_routes.cpp (the newest forecast and older ones), attempt_routes.cpp, event_routes.cpp
// (the event stream and the feed), health_routes.cpp (health and metrics) and page_routes.cpp
// (the status page).
class ApiRoutes final {
 public:
  ApiRoutes(const Metrics& metrics, const SharedStanding& standing, StoreReaders& readers,
            ForecastEvents& events, const Clock& clock, SyncWindows schedule);
  Q_DISABLE_COPY_MOVE(ApiRoutes)

  void Answer(const HttpRequest& request, const HttpReply& reply);
  // The store watcher found `fresh` (oldest first) in `store`; on its thread.
  void Heard(const std::vector<ForecastRow>& fresh, ForecastStore& store);

 private:
  using Route = void (ApiRoutes::*)(const HttpRequest&, const HttpReply&);
  // The answer to GET /forecast, kept for a moment so that most requests skip the database.
  struct ForecastAnswer {
    ServerAnswer answer;
    std::string tag;  // ETag; empty without a forecast
    qint64 id = 0;
    std::chrono::steady_clock::time_point made;
  };

  void Forecast(const HttpRequest& request, const HttpReply& reply);
  void Forecasts(const HttpRequest& request, const HttpReply& reply);
  void Attempts(const HttpRequest& request, const HttpReply& reply);
  void Health(const HttpRequest& request, const HttpReply& reply);
  void MetricsText(const HttpRequest& request, const HttpReply& reply);
  void Page(const HttpRequest& request, const HttpReply& reply);
  void PageAsset(const HttpRequest& request, const HttpReply& reply);
  void PageStatus(const HttpRequest& request, const HttpReply& reply);
  void Events(const HttpRequest& request, const HttpReply& reply);
  void Feed(const HttpRequest& request, const HttpReply& reply);
  void WaitForNewer(qint64 after, qint64 seconds, const HttpReply& reply);

  // Answers with `read` on a reader thread; false, and answered, when none can take it.
  bool Read(const HttpReply& reply, std::function<ServerAnswer(ForecastStore&)> read);
  std::shared_ptr<const ForecastAnswer> Cached();
  std::shared_ptr<const ForecastAnswer> ReadForecast(ForecastStore& store);
  // The health `attempts` (newest first) give at `now`, as this collector's role sees it.
  HealthReport HealthOf(const StoreExpected<std::vector<AttemptRow>>& attempts,
                        const QDateTime& now) const;
  HealthReport ReadHealth(ForecastStore& store) const;

  const Metrics& metrics_;
  const SharedStanding& standing_;
  StoreReaders& readers_;
  ForecastEvents& events_;
  const Clock& clock_;
  const SyncWindows schedule_;
  const StatusPage page_;
  std::chrono::steady_clock::time_point healthRead_;  // by Heard
  std::mutex cacheMutex_;
  std::shared_ptr<const ForecastAnswer> cached_;
  std::atomic<bool> refreshing_{false};
};

}  // namespace skyloom

#pragma once

#include <QString>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "http/http_server.h"
#include "schedule/sync_schedule.h"
#include "serving/health.h"
#include "serving/status_page.h"
#include "serving/store_watcher.h"
#include "store/collector_lease.h"
#include "store/forecast_store.h"

namespace skyloom {

class Clock;
class ForecastEvents;
class Metrics;
class StoreReaders;
class StoreWatcher;

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
// How far back health looks for the last success: weeks of timed fetches, all kept in memory.
inline constexpr int kHealthAttempts = static_cast<int>(kKeptAttempts);

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
// (the status page and the API's description).
//
// What is asked most is answered from the record the store watcher keeps in memory: the newest
// forecast, the first page of forecasts and of attempts, the feed, health and the status page's
// data. Each answer is made once for each record, when first asked, and kept until the watcher
// hands on a changed record; nothing ages out. Other pages, and every request before the
// watcher's first look, are read through the readers.
class ApiRoutes final {
 public:
  ApiRoutes(const Metrics& metrics, const SharedStanding& standing, StoreReaders& readers,
            ForecastEvents& events, const StoreWatcher& watcher, const Clock& clock,
            SyncWindows schedule);
  Q_DISABLE_COPY_MOVE(ApiRoutes)

  void Answer(const HttpRequest& request, const HttpReply& reply);
  // The store watcher's record after a look, and what changed in it; on its thread.
  void Heard(const std::shared_ptr<const KeptRecord>& record, bool forecastsChanged,
             bool logChanged);

 private:
  using Route = void (ApiRoutes::*)(const HttpRequest&, const HttpReply&);
  using Made = std::shared_ptr<const ServerAnswer>;
  // The answer to GET /forecast, or to GET /feed.atom, with its ETag.
  struct ForecastAnswer {
    ServerAnswer answer;
    std::string tag;  // ETag; empty without a forecast
    qint64 id = 0;
  };
  // What the status page reads besides the record: the forecasts of the chart's days and the
  // attempts of the slot picture's, each read for one version of its part of the record.
  struct StatusRows {
    QString from;  // the first pictured day's midnight
    quint64 forecastsVersion = 0;
    quint64 logVersion = 0;
    StoreExpected<std::vector<ForecastRow>> chart;    // newest first
    StoreExpected<std::vector<AttemptRow>> pictured;  // oldest first
  };
  // A read of the status page's rows under way, and the requests that wait for it.
  struct StatusRead {
    QString from;
    quint64 forecastsVersion = 0;
    quint64 logVersion = 0;
    std::vector<std::function<void(const std::shared_ptr<const StatusRows>&)>> waiting;
  };
  // Every answer made from one record, each when first asked. Answers made from a part that
  // did not change are handed over to the next record's.
  struct Served {
    std::shared_ptr<const KeptRecord> record;
    std::shared_ptr<const ForecastAnswer> forecast;
    std::mutex mutex;                   // for what follows
    std::map<int, Made> forecastPages;  // by limit
    std::map<int, Made> attemptPages;
    std::shared_ptr<const ForecastAnswer> feed;
    // The status page's answer, with what it was made of besides the record.
    std::shared_ptr<const StatusRows> statusRows;
    QByteArray statusTime;  // health and the slot states, which the time changes
    Made status;
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
  void Description(const HttpRequest& request, const HttpReply& reply);
  void WaitForNewer(qint64 after, qint64 seconds, const HttpReply& reply);

  // Answers with `read` on a reader thread; false, and answered, when none can take it.
  bool Read(const HttpReply& reply, std::function<ServerAnswer(ForecastStore&)> read);
  // The answers of the newest record; nothing before the watcher's first look.
  std::shared_ptr<Served> Current() const;
  // Made once for `served`, under its lock.
  template <typename Key, typename Make>
  static Made Once(Served& served, std::map<Key, Made>& made, const Key& key, Make make);
  static std::shared_ptr<const ForecastAnswer> ForecastOf(
      const StoreExpected<std::vector<ForecastRow>>& newestFirst);
  static std::shared_ptr<const ForecastAnswer> FeedOf(
      const StoreExpected<std::vector<ForecastRow>>& newestFirst);
  // The health `attempts` (newest first) give at `now`, as this collector's role sees it.
  HealthReport HealthOf(const StoreExpected<std::vector<AttemptRow>>& attempts,
                        const QDateTime& now) const;
  HealthReport ReadHealth(ForecastStore& store) const;
  // The status page's rows for `served` at `now`, from memory or read once for all who ask;
  // `then` runs with them, at once or on a reader's thread. False, and answered, when they
  // must be read and no reader can take it.
  bool StatusRowsFor(const std::shared_ptr<Served>& served, const QDateTime& now,
                     const HttpReply& reply,
                     std::function<void(const std::shared_ptr<const StatusRows>&)> then);
  ServerAnswer StatusAnswer(Served& served, const std::shared_ptr<const StatusRows>& rows,
                            const QDateTime& now) const;

  const Metrics& metrics_;
  const SharedStanding& standing_;
  StoreReaders& readers_;
  ForecastEvents& events_;
  const StoreWatcher& watcher_;
  const Clock& clock_;
  const SyncWindows schedule_;
  const StatusPage page_;
  // GET /openapi.json: docs/openapi.json as written, tagged by its contents.
  ServerAnswer description_;
  std::string descriptionTag_;
  mutable std::mutex servedMutex_;
  std::shared_ptr<Served> served_;
  std::mutex statusMutex_;
  std::shared_ptr<const StatusRows> statusRows_;  // the newest read
  std::shared_ptr<StatusRead> statusRead_;        // under way
};

template <typename Key, typename Make>
ApiRoutes::Made ApiRoutes::Once(Served& served, std::map<Key, Made>& made, const Key& key,
                                Make make) {
  const std::lock_guard lock(served.mutex);
  Made& answer = made[key];
  if (!answer) answer = std::make_shared<const ServerAnswer>(make());
  return answer;
}

}  // namespace skyloom

#pragma once

#include <QString>
#include <chrono>
#include <expected>
#include <memory>

#include "http/http_server.h"
#include "schedule/sync_schedule.h"
#include "serving/api_routes.h"
#include "serving/store_watcher.h"
#include "store/collector_lease.h"
#include "store/pg_store.h"

namespace skyloom {

// A read-only JSON API over the forecast database: the newest forecast, older ones page by
// page, the attempt log, health and Prometheus metrics; an event stream and a waiting
// GET /forecast for readers who want a new forecast at once, and an Atom feed.
//
// It has no authentication at all: anyone who reaches the port reads everything. Listen on
// loopback, or behind a reverse proxy that decides who may read.
//
// Its threads are WorkerThreads, which need the process's QCoreApplication (or QApplication).
//
// It reads through stores of its own and never writes: a missing database or missing tables
// are answered as errors, never created. Query values reach SQL only as bound parameters.
class HttpApi final {
 public:
  // `schedule` is the one the collector fetches on, for telling a stalled collector by
  // `clock`.
  // `watching`: how an SQLite file's changes are learnt of.
  HttpApi(QString databaseLocation, PgLimits limits, const Metrics& metrics, const Clock& clock,
          SyncWindows schedule = {}, ServerLimits serverLimits = {},
          FileWatching watching = FileWatching::Inotify);
  ~HttpApi();
  HttpApi(const HttpApi&) = delete;
  HttpApi& operator=(const HttpApi&) = delete;

  // Binds HOST:PORT (an IPv6 host in brackets; port 0: any free port) for this program
  // alone and serves on threads of its own. On success `bound` is the address got, as
  // HOST:PORT; otherwise what went wrong.
  std::expected<QString, QString> Start(const QString& hostPort);
  // Stops serving once the requests under way are answered.
  void Stop();
  // This collector's place in its group, as health and metrics tell it; from any thread.
  void SetRole(const GroupStanding& standing);
  // The record was changed here (a forecast stored, an attempt logged): the API looks at the
  // store at once instead of waiting to be told. From any thread.
  void RecordChanged();
  // Looks at the store at once and waits until what it found is served, at most `most`;
  // whether it is. For a program that writes the store itself and reads the API next.
  bool CatchUp(std::chrono::milliseconds most = std::chrono::seconds(10));

 private:
  const QString location_;
  const PgLimits limits_;
  const Metrics& metrics_;
  const Clock& clock_;
  const SyncWindows schedule_;
  const ServerLimits serverLimits_;
  const FileWatching watching_;
  SharedStanding standing_;
  std::unique_ptr<StoreReaders> readers_;
  std::unique_ptr<ForecastEvents> events_;
  std::unique_ptr<ApiRoutes> routes_;
  std::unique_ptr<HttpServer> server_;
  std::unique_ptr<StoreWatcher> watcher_;
};

}  // namespace skyloom

#pragma once

#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/interruption.h"
#include "store/forecast_store.h"
#include "store/pg_store.h"

namespace skyloom {

// One thread that learns of new forecasts from the store itself, so that every collector of a
// group hears of them, standbys included: on a PostgreSQL server through LISTEN on a session
// of its own, with a look every 10 s should a notice be lost, and on an SQLite file by
// looking twice a second.
class StoreWatcher final {
 public:
  // After every look, the forecasts new since the one before, oldest first (at the first, the
  // newest alone), and the watcher's own store to read more through; on the watcher's thread.
  using Heard = std::function<void(const std::vector<ForecastRow>& fresh, ForecastStore& store)>;

  StoreWatcher(QString location, PgLimits limits);
  ~StoreWatcher();
  Q_DISABLE_COPY_MOVE(StoreWatcher)

  void Start(Heard heard);
  // Looks again at once.
  void Nudge();
  // Ends the wait or the read under way, and the thread.
  void Stop();

 private:
  void Work();
  std::vector<ForecastRow> Fresh();
  void Sleep(std::chrono::milliseconds most);

  const QString location_;
  const PgLimits limits_;
  Heard heard_;
  std::optional<qint64> known_;  // the newest id seen; by the watcher's thread
  Interruption wake_;
  std::atomic<bool> stopping_{false};
  std::unique_ptr<ForecastStore> store_;
  std::thread thread_;
};

}  // namespace skyloom

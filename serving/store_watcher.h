#pragma once

#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/interruption.h"
#include "store/pg_store.h"

namespace skyloom {

class ForecastStore;

// One thread that learns of new forecasts from the store itself, so that every collector of a
// group hears of them, standbys included: on a PostgreSQL server through LISTEN on a session
// of its own, with a look every 10 s should a notice be lost, and on an SQLite file by
// looking twice a second.
class StoreWatcher final {
 public:
  // Reads what it wants through the watcher's own store; on the watcher's thread.
  using Look = std::function<void(ForecastStore&)>;

  StoreWatcher(QString location, PgLimits limits);
  ~StoreWatcher();
  Q_DISABLE_COPY_MOVE(StoreWatcher)

  void Start(Look look);
  // Looks again at once.
  void Nudge();
  // Ends the wait or the read under way, and the thread.
  void Stop();

 private:
  void Work();
  void Sleep(std::chrono::milliseconds most);

  const QString location_;
  const PgLimits limits_;
  Look look_;
  Interruption wake_;
  std::atomic<bool> stopping_{false};
  std::unique_ptr<ForecastStore> store_;
  std::thread thread_;
};

}  // namespace skyloom

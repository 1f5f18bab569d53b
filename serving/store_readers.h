#pragma once

#include <QString>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "store/pg_store.h"

namespace skyloom {

class ForecastStore;

// A few threads that read the database for the API, each through a store of its own. A
// database that keeps a read waiting up to its timeout holds one of them, never the server.
class StoreReaders final {
 public:
  using Job = std::function<void(ForecastStore&)>;

  StoreReaders(QString location, PgLimits limits);
  ~StoreReaders();
  StoreReaders(const StoreReaders&) = delete;
  StoreReaders& operator=(const StoreReaders&) = delete;

  // Starts `threads` readers; what went wrong, if anything.
  std::optional<QString> Start(int threads, std::size_t queued);
  // Queues a read; false when the queue is full or the readers have stopped.
  bool Submit(Job job);
  // Drops the reads still queued and waits for those under way.
  void Stop();

 private:
  void Work();

  const QString location_;
  const PgLimits limits_;
  std::size_t queued_ = 0;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace skyloom

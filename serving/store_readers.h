#pragma once

#include <QString>
#include <cstddef>
#include <functional>
#include <memory>

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

  // Lets up to `threads` readers start as reads come, and up to `queued` reads wait for them.
  void Start(int threads, std::size_t queued);
  // Queues a read; false when the queue is full or the readers have stopped.
  bool Submit(Job job);
  // Drops the reads still queued and stops the readers, each as every WorkerThread stops.
  void Stop();

 private:
  struct Shared;

  const QString location_;
  const PgLimits limits_;
  std::shared_ptr<Shared> shared_;
};

}  // namespace skyloom

#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "platform/run_then.h"
#include "platform/worker_thread.h"
#include "store/forecast_store.h"
#include "store/pg_store.h"

namespace skyloom {

// Reads a forecast database on a thread of its own, through a connection of its own, and
// hands each result back as a value on the thread this object lives on: whoever shows rows
// never waits for the database. Reads run one at a time, in the order asked.
class StoreReader final : public QObject {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(StoreReader)

 public:
  StoreReader(const QString& location, PgLimits limits, QObject* parent = nullptr);
  // Ends a read under way as soon as the database lets it, and waits a few seconds at most.
  ~StoreReader() override;

  // Runs `read` against the store on the reader's thread, then `done` with its value here,
  // unless `context` (on this reader's thread) or the reader is gone by then.
  template <typename Value>
  void Read(std::function<Value(ForecastStore&)> read, QObject* context,
            std::function<void(const Value&)> done) {
    RunThen(
        *thread_,
        [shared = shared_, read = std::move(read)] {
          // Queued behind one that hung when this reader went: its result goes nowhere.
          return shared->closing ? Value{} : read(*shared->store);
        },
        this,
        [context = QPointer<QObject>(context), done = std::move(done)](const Value& value) {
          if (context) done(value);
        });
  }

 private:
  // Kept alive by the reads, since a reader may go while one hangs.
  struct Shared {
    std::unique_ptr<ForecastStore> store;
    std::atomic<bool> closing{false};
  };
  std::shared_ptr<Shared> shared_;
  std::unique_ptr<WorkerThread> thread_;
};

template <typename Row>
using RowsRead = StoreExpected<std::vector<Row>>;

}  // namespace skyloom

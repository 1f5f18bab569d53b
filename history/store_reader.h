#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>
#include <memory>
#include <vector>

#include "store/forecast_store.h"
#include "store/pg_store.h"

namespace skyloom {

class WorkerThread;

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
  // unless `context` is gone by then.
  template <typename Value>
  void Read(std::function<Value(ForecastStore&)> read, QObject* context,
            std::function<void(const Value&)> done) {
    Post([read = std::move(read), context = QPointer<QObject>(context),
          done = std::move(done)](ForecastStore& store) -> std::function<void()> {
      auto value = std::make_shared<Value>(read(store));
      return [context, done, value] {
        if (context) done(*value);
      };
    });
  }

 private:
  // A read that returns what to run back here with its result.
  using Job = std::function<std::function<void()>(ForecastStore&)>;
  struct Shared;

  void Post(Job job);

  std::shared_ptr<Shared> shared_;
  std::unique_ptr<WorkerThread> thread_;
};

template <typename Row>
using RowsRead = StoreExpected<std::vector<Row>>;

}  // namespace skyloom

#include "history/store_reader.h"

#include <mutex>
#include <vector>

#include "platform/worker_thread.h"
#include "store/open_store.h"

namespace skyloom {

// What the reader's thread uses, kept alive by it: a reader may go while a read hangs.
struct StoreReader::Shared {
  std::unique_ptr<ForecastStore> store;
  std::mutex mutex;
  StoreReader* owner;  // cleared when the reader goes; results then go nowhere
};

StoreReader::StoreReader(const QString& location, PgLimits limits, QObject* parent)
    : QObject(parent),
      shared_(std::make_shared<Shared>()),
      thread_(std::make_unique<WorkerThread>(QStringLiteral("store reader"))) {
  shared_->store = OpenStore(location, limits);
  shared_->owner = this;
}

StoreReader::~StoreReader() {
  {
    const std::lock_guard lock(shared_->mutex);
    shared_->owner = nullptr;
  }
  shared_->store->Interrupt();
  thread_.reset();
}

void StoreReader::Post(Job job) {
  thread_->Post([shared = shared_, job = std::move(job)] {
    {
      const std::lock_guard lock(shared->mutex);
      if (!shared->owner) return;
    }
    std::function<void()> deliver = job(*shared->store);
    const std::lock_guard lock(shared->mutex);
    if (shared->owner) {
      QMetaObject::invokeMethod(shared->owner, std::move(deliver), Qt::QueuedConnection);
    }
  });
}

namespace {

template <typename Row, typename ReadInto>
RowsRead<Row> Collect(ReadInto readInto) {
  std::vector<Row> rows;
  if (auto error = readInto(rows)) return std::unexpected(*error);
  return rows;
}

}  // namespace

RowsRead<ForecastRow> NewestForecastsRead(ForecastStore& store, int limit, qint64 beforeId) {
  return Collect<ForecastRow>(
      [&](std::vector<ForecastRow>& rows) { return store.NewestForecasts(limit, beforeId, rows); });
}

RowsRead<AttemptRow> NewestAttemptsRead(ForecastStore& store, int limit) {
  return Collect<AttemptRow>(
      [&](std::vector<AttemptRow>& rows) { return store.NewestAttempts(limit, rows); });
}

RowsRead<AttemptRow> AttemptsBeforeRead(ForecastStore& store, const AttemptRow& row, int limit) {
  return Collect<AttemptRow>(
      [&](std::vector<AttemptRow>& rows) { return store.AttemptsBefore(row, limit, rows); });
}

RowsRead<AttemptRow> AttemptsBetweenRead(ForecastStore& store, const QString& from,
                                         const QString& to) {
  return Collect<AttemptRow>(
      [&](std::vector<AttemptRow>& rows) { return store.AttemptsBetween(from, to, rows); });
}

}  // namespace skyloom

#include "collecting/retention.h"

#include "platform/clock.h"
#include "store/forecast_store.h"

namespace skyloom {
namespace {

// Runs `batch` until it deletes less than a whole batch, fails or `goOn` says stop.
bool Drain(const std::function<StoreExpected<qint64>()>& batch, const std::function<bool()>& goOn,
           qint64& count, QString& problem) {
  while (goOn()) {
    const auto removed = batch();
    if (!removed) {
      problem = removed.error().message;
      return false;
    }
    count += *removed;
    if (*removed < kRemovalBatch) return true;
  }
  return false;
}

}  // namespace

RowsRemoved RemoveOldRows(ForecastStore& store, const Retention& keep, const QDateTime& now,
                          const std::function<bool()>& goOn) {
  RowsRemoved removed;
  bool finished = true;
  if (keep.attemptDays > 0) {
    const QString before = LogTimeText(now.addDays(-keep.attemptDays));
    finished = Drain([&] { return store.RemoveAttemptsBefore(before, kRemovalBatch); }, goOn,
                     removed.attempts, removed.problem);
  }
  if (finished && keep.deliveryDays > 0) {
    const qint64 before = now.addDays(-keep.deliveryDays).toSecsSinceEpoch();
    finished = Drain([&] { return store.RemoveDeliveriesBefore(before, kRemovalBatch); }, goOn,
                     removed.deliveries, removed.problem);
  }
  removed.finished = finished;
  return removed;
}

}  // namespace skyloom

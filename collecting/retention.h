#pragma once

#include <QDateTime>
#include <QMetaType>
#include <QString>
#include <functional>

namespace skyloom {

class ForecastStore;

// How many days of attempts and of finished deliveries are kept; 0 keeps them all.
struct Retention {
  int attemptDays = 0;
  int deliveryDays = 0;

  bool KeepsAll() const { return attemptDays <= 0 && deliveryDays <= 0; }
};

// What one round of deletions did.
struct RowsRemoved {
  qint64 attempts = 0;
  qint64 deliveries = 0;
  bool finished = false;  // false: stopped early, for a fetch or a lost turn, or failed
  QString problem;        // why it failed; empty when it did not
};

// Rows deleted per transaction: short enough that a fetch waiting behind it hardly notices.
inline constexpr int kRemovalBatch = 1000;

// Deletes what `keep` no longer keeps as of `now`, a batch per transaction, while `goOn`
// says so before each batch. Forecasts are never touched.
RowsRemoved RemoveOldRows(ForecastStore& store, const Retention& keep, const QDateTime& now,
                          const std::function<bool()>& goOn);

}  // namespace skyloom

Q_DECLARE_METATYPE(skyloom::RowsRemoved)

#pragma once

#include <QDateTime>

#include "platform/clock.h"

namespace skyloom::test {

// Stands still at whatever instant the test sets.
class FakeClock final : public Clock {
 public:
  explicit FakeClock(QDateTime now = QDateTime(QDate(2026, 12, 7), QTime(6, 30, 20)))
      : now_(std::move(now)) {}
  QDateTime Now() const override { return now_; }
  void Set(const QDateTime& now) { now_ = now; }
  void Set(const QTime& timeOfDay) { now_ = QDateTime(now_.date(), timeOfDay); }
  void Advance(qint64 seconds) { now_ = now_.addSecs(seconds); }

 private:
  QDateTime now_;
};

}  // namespace skyloom::test

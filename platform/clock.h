#pragma once

#include <QDateTime>
#include <QString>

namespace skyloom {

// Injected wherever the time matters, so that tests can stand at any instant.
class Clock {
 public:
  virtual ~Clock() = default;
  // Local date and time in whole seconds.
  virtual QDateTime Now() const = 0;
};

class SystemClock final : public Clock {
 public:
  QDateTime Now() const override;
};

// The system locale's short date and long time, e.g. "07/12/2026 06:31:00".
QString NowText(const QDateTime& instant);

// A log time as the database and every plain-text line show it: local 'yyyy-MM-dd HH:mm:ss'.
QString LogTimeText(const QDateTime& instant);

// Minutes between two instants counted in minute boundaries: 10:00:59 to 10:01:00 is 1.
qint64 MinutesBetween(const QDateTime& from, const QDateTime& to);

}  // namespace skyloom

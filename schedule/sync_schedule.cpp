#include "schedule/sync_schedule.h"

#include <algorithm>

#include "platform/clock.h"

namespace skyloom {
namespace {

QTime WholeSeconds(const QTime& t) { return QTime(t.hour(), t.minute(), t.second()); }

}  // namespace

bool SyncWindows::Contains(const QTime& timeOfDay) const {
  const QTime t = WholeSeconds(timeOfDay);
  for (const SyncWindow& window : windows) {
    if (window.from <= t && t <= window.to) return true;
  }
  return false;
}

std::vector<QTime> SyncWindows::TimedSlots() const {
  std::vector<QTime> times;
  const int step = intervalMinutes * 60;
  for (const SyncWindow& window : windows) {
    // Seconds of the day, as QTime wraps at midnight.
    for (int t = window.from.msecsSinceStartOfDay() / 1000;
         t <= window.to.msecsSinceStartOfDay() / 1000; t += step) {
      times.push_back(QTime(0, 0).addSecs(t));
    }
  }
  return times;
}

std::optional<QDateTime> SyncWindows::SlotStart(const QDateTime& instant) const {
  const std::vector<QTime> times = TimedSlots();
  const QTime time = WholeSeconds(instant.time());
  const auto after = std::upper_bound(times.begin(), times.end(), time);
  if (after == times.begin()) return std::nullopt;
  const QDateTime start(instant.date(), *std::prev(after));
  if (start.secsTo(instant) >= intervalMinutes * qint64{60}) return std::nullopt;
  return start;
}

QDateTime SyncWindows::InitLastSync(const QDateTime& now) const {
  return now.addSecs(-(intervalMinutes - 1) * qint64{60});
}

bool SyncWindows::Due(const QDateTime& lastSync, const QDateTime& now) const {
  if (!Contains(now.time())) return false;
  const qint64 minutes = MinutesBetween(lastSync, now);
  // A last fetch in a later minute means the clock was set back (a wrong clock at boot that
  // NTP corrected); waiting for the clock to catch up would stop collection for that long.
  return minutes < 0 || minutes >= intervalMinutes;
}

QDateTime SyncWindows::NextDue(const QDateTime& lastSync) const {
  const QTime last = lastSync.time();
  const QDateTime earliest =
      QDateTime(lastSync.date(), QTime(last.hour(), last.minute())).addSecs(intervalMinutes * 60);
  if (Contains(earliest.time())) return earliest;
  // Otherwise the next window to open, later that day or the day after.
  for (int day = 0; day < 2; ++day) {
    const QDate date = earliest.date().addDays(day);
    for (const SyncWindow& window : windows) {
      const QDateTime opens(date, window.from);
      if (opens >= earliest) return opens;
    }
  }
  return {};
}

}  // namespace skyloom

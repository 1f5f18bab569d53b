#include "schedule/sync_schedule.h"

#include <array>

#include "platform/clock.h"

namespace skyloom {
namespace {

struct SyncWindow {
  QTime from;
  QTime to;
};

constexpr qint64 kSpacingMinutes = 30;
constexpr qint64 kStartOffsetMinutes = 29;

const std::array<SyncWindow, 3>& Windows() {
  static const std::array<SyncWindow, 3> windows{{
      {QTime(6, 15, 0), QTime(8, 17, 30)},
      {QTime(9, 15, 0), QTime(11, 17, 30)},
      {QTime(14, 15, 0), QTime(17, 17, 30)},
  }};
  return windows;
}

}  // namespace

const std::vector<QTime>& TimedSlots() {
  static const std::vector<QTime> all = [] {
    std::vector<QTime> times;
    for (const SyncWindow& window : Windows()) {
      for (QTime t = window.from; t <= window.to; t = t.addSecs(kSpacingMinutes * 60)) {
        times.push_back(t);
      }
    }
    return times;
  }();
  return all;
}

bool InSyncWindow(const QTime& timeOfDay) {
  const QTime t(timeOfDay.hour(), timeOfDay.minute(), timeOfDay.second());
  for (const SyncWindow& window : Windows()) {
    if (window.from <= t && t <= window.to) return true;
  }
  return false;
}

QDateTime InitLastSync(const QDateTime& now) { return now.addSecs(-kStartOffsetMinutes * 60); }

bool SyncDue(const QDateTime& lastSync, const QDateTime& now) {
  if (!InSyncWindow(now.time())) return false;
  const qint64 minutes = MinutesBetween(lastSync, now);
  // A last fetch in a later minute means the clock was set back (a wrong clock at boot that
  // NTP corrected); waiting for the clock to catch up would stop collection for that long.
  return minutes < 0 || minutes >= kSpacingMinutes;
}

}  // namespace skyloom

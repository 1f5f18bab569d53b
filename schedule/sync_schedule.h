#pragma once

#include <QDateTime>
#include <QString>
#include <QTime>
#include <optional>
#include <vector>

namespace skyloom {

inline const QString kLastSyncPrefix = QStringLiteral("最后同步：");

// A closed range of the local time of day, in whole seconds.
struct SyncWindow {
  QTime from;
  QTime to;
};

// When timed fetches run: inside the daily windows, once `intervalMinutes` minute boundaries
// have passed since the last. The defaults are the three windows the program always had.
struct SyncWindows {
  std::vector<SyncWindow> windows{{QTime(6, 15), QTime(8, 17, 30)},
                                  {QTime(9, 15), QTime(11, 17, 30)},
                                  {QTime(14, 15), QTime(17, 17, 30)}};
  int intervalMinutes = 30;

  // Whether the time of day lies in one of the windows.
  bool Contains(const QTime& timeOfDay) const;

  // The times of day a program running since before a window fetches at: each window's
  // start and every interval after it while the window lasts (06:15, 06:45 … 17:15).
  std::vector<QTime> TimedSlots() const;

  // The start of the timed slot whose interval holds `instant`, if any: the slot a timed
  // fetch made then stands for.
  std::optional<QDateTime> SlotStart(const QDateTime& instant) const;

  // Start value of LastSync: one minute short of the interval before start, so the first
  // timed fetch inside a window comes about a minute after start.
  QDateTime InitLastSync(const QDateTime& now) const;

  // A timed fetch is due inside a window once the interval in minute boundaries has passed
  // since the last, or when the last lies in a later minute than now.
  bool Due(const QDateTime& lastSync, const QDateTime& now) const;

  // The first instant at which a timed fetch is due after one at `lastSync`.
  QDateTime NextDue(const QDateTime& lastSync) const;
};

}  // namespace skyloom

#pragma once

#include <QDateTime>
#include <QString>
#include <QTime>
#include <vector>

namespace skyloom {

inline const QString kLastSyncPrefix = QStringLiteral("最后同步：");

// The three daily windows, closed ranges of the local time of day in whole seconds.
bool InSyncWindow(const QTime& timeOfDay);

// The times of day a program running since before a window fetches at: each window's start
// and every thirty minutes after it while the window lasts (06:15, 06:45 … 17:15).
const std::vector<QTime>& TimedSlots();

// Start value of LastSync: 29 minutes before start, so the first timed fetch inside a
// window comes about a minute after start.
QDateTime InitLastSync(const QDateTime& now);

// A timed fetch is due inside a window once 30 minute boundaries have passed since the last,
// or when the last lies in a later minute than now.
bool SyncDue(const QDateTime& lastSync, const QDateTime& now);

}  // namespace skyloom

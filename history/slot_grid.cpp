#include "history/slot_grid.h"

namespace skyloom {
namespace {

const QString kLogTimeFormat = QStringLiteral("yyyy-MM-dd HH:mm:ss");

}  // namespace

SlotState StateOf(const AttemptRow& row) {
  if (row.number == 0)
    return row.description == kWritten ? SlotState::Stored : SlotState::Unchanged;
  if (row.number == -1) return SlotState::NothingExtracted;
  return SlotState::Error;
}

std::pair<QString, QString> SlotGridRange(const QDate& lastDay, int days) {
  const QDateTime from(lastDay.addDays(1 - days), QTime(0, 0));
  const QDateTime to(lastDay.addDays(1), QTime(0, 0));
  return {from.toString(kLogTimeFormat), to.toString(kLogTimeFormat)};
}

// tqlog does not say whether an attempt was timed, so the rule goes by time alone. A program
// running since before a window fetches at the slot time itself (plus the request); one
// started inside a window fetches up to an interval late, but still once per interval. So
// a slot owns the interval that starts at it, and its attempt is the first logged in that
// interval: a Get clicked after the timed fetch shows only in the log. A Get in an interval
// that no timed fetch reached does stand for its slot, as nothing tells the two apart.
SlotGrid BuildSlotGrid(const std::vector<AttemptRow>& rows, const QDate& lastDay, int days,
                       const QDateTime& now, const SyncWindows& schedule) {
  SlotGrid grid;
  grid.times = schedule.TimedSlots();
  grid.slotMinutes = schedule.intervalMinutes;
  const std::vector<QTime>& times = grid.times;
  const qint64 slotSeconds = qint64{grid.slotMinutes} * 60;
  grid.firstDay = lastDay.addDays(1 - days);
  grid.days = days;
  grid.slotsPerDay = static_cast<int>(times.size());
  grid.cells.resize(static_cast<size_t>(days) * times.size());
  for (int day = 0; day < days; ++day) {
    for (int slot = 0; slot < grid.slotsPerDay; ++slot) {
      SlotCell& cell = grid.cells[day * grid.slotsPerDay + slot];
      cell.start = QDateTime(grid.firstDay.addDays(day), times[slot]);
      if (cell.start.addSecs(slotSeconds) > now) cell.state = SlotState::Later;
    }
  }

  for (const AttemptRow& row : rows) {
    const QDateTime logged = QDateTime::fromString(row.logtime, kLogTimeFormat);
    if (!logged.isValid()) continue;
    const int day = static_cast<int>(grid.firstDay.daysTo(logged.date()));
    if (day < 0 || day >= days) continue;
    // The last slot starting at or before the attempt, if the attempt lies in its half hour.
    int slot = grid.slotsPerDay - 1;
    while (slot >= 0 && times[slot] > logged.time()) --slot;
    if (slot < 0) continue;
    SlotCell& cell = grid.cells[day * grid.slotsPerDay + slot];
    if (cell.start.secsTo(logged) >= slotSeconds) continue;
    if (cell.attempt && QDateTime::fromString(cell.attempt->logtime, kLogTimeFormat) <= logged) {
      continue;
    }
    cell.attempt = row;
    cell.state = StateOf(row);
  }
  return grid;
}

}  // namespace skyloom

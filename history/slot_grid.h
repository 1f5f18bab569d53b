#pragma once

#include <QDate>
#include <QDateTime>
#include <QString>
#include <optional>
#include <vector>

#include "schedule/sync_schedule.h"
#include "store/forecast_store.h"

namespace skyloom {

// What the attempt of a timed slot did.
enum class SlotState {
  Stored,            // a new forecast
  Unchanged,         // the same forecast again
  NothingExtracted,  // the page held no forecast
  Error,             // the request failed
  NoAttempt,         // nothing was logged for the slot
  Later,             // the slot's interval has not ended yet and nothing is logged
};

// What a logged attempt did, from its error number and description.
SlotState StateOf(const AttemptRow& row);

// Said beside the log's words for an empty retrieval, which readers take for a fetch error.
inline const QString kNothingExtracted =
    QStringLiteral("nothing extracted: the page has no forecast between the markers");

struct SlotCell {
  QDateTime start;  // the slot's time on its day
  SlotState state = SlotState::NoAttempt;
  std::optional<AttemptRow> attempt;
};

// The timed slots of some days in a row: one line per day, oldest first, one cell per slot
// in the order of the schedule's TimedSlots().
struct SlotGrid {
  QDate firstDay;
  int days = 0;
  int slotsPerDay = 0;
  std::vector<QTime> times;  // the slots of a day
  int slotMinutes = 0;       // how long each slot owns the attempts after it
  std::vector<SlotCell> cells;

  const SlotCell& At(int day, int slot) const { return cells[day * slotsPerDay + slot]; }
  // Whether the time between `slot` and the one before is a gap between the daily windows,
  // where the picture leaves a space.
  bool GapBefore(std::size_t slot) const {
    return slot > 0 && slot < times.size() &&
           times[slot - 1].secsTo(times[slot]) > qint64{slotMinutes} * 60;
  }
};

// Days the slot picture covers, today included, in the window and on the status page alike.
inline constexpr int kSlotPictureDays = 14;

// The logtimes to read for the `days` days that end with `lastDay`: from midnight of the
// first day up to but not including midnight after the last, as tqlog writes them.
std::pair<QString, QString> SlotGridRange(const QDate& lastDay, int days);

// Which attempt belongs to which slot of `schedule`. `rows` is what SlotGridRange selects, in
// any order; `now` decides which empty slots are still to come.
SlotGrid BuildSlotGrid(const std::vector<AttemptRow>& rows, const QDate& lastDay, int days,
                       const QDateTime& now, const SyncWindows& schedule);

}  // namespace skyloom

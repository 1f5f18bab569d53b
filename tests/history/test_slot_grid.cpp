#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "history/slot_grid.h"

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;

// Three days ending on the 7th, looked at at noon of the 7th.
const QDate kLastDay(2026, 12, 7);
const QDateTime kNoon(kLastDay, QTime(12, 0));

AttemptRow Logged(const char* logtime, qint64 number, const QString& description) {
  return AttemptRow{QString::fromLatin1(logtime),
                    number == 0 ? kStatusFetched : kStatusFetchError,
                    number,
                    description,
                    {}};
}

struct GridCase {
  const char* name;
  std::vector<AttemptRow> rows;
  // "day HH:mm" (day 0 the oldest) to the state expected; every other slot is checked too:
  // no attempt before noon of the 7th, still to come after.
  std::map<std::string, SlotState> expected;
};

class SlotGridTest : public testing::TestWithParam<GridCase> {};

TEST_P(SlotGridTest, EachSlotTakesTheFirstAttemptOfItsHalfHour) {
  const SlotGrid grid = BuildSlotGrid(GetParam().rows, kLastDay, 3, kNoon, SyncWindows{});
  ASSERT_EQ(grid.firstDay, QDate(2026, 12, 5));
  ASSERT_EQ(grid.slotsPerDay, 17);
  for (int day = 0; day < grid.days; ++day) {
    for (int slot = 0; slot < grid.slotsPerDay; ++slot) {
      const SlotCell& cell = grid.At(day, slot);
      const std::string key =
          std::to_string(day) + " " + cell.start.time().toString(u"HH:mm"_s).toStdString();
      const auto expected = GetParam().expected.find(key);
      const SlotState state = expected != GetParam().expected.end() ? expected->second
                              : cell.start.addSecs(30 * 60) > kNoon ? SlotState::Later
                                                                    : SlotState::NoAttempt;
      EXPECT_EQ(cell.state, state) << key;
      EXPECT_EQ(cell.attempt.has_value(),
                state != SlotState::NoAttempt && state != SlotState::Later)
          << key;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Logs, SlotGridTest,
    testing::Values(
        GridCase{"empty_log", {}, {}},
        GridCase{"seconds_after_the_slot",
                 {Logged("2026-12-05 06:15:04", 0, kWritten),
                  Logged("2026-12-05 06:45:01", 0, kNotWritten),
                  Logged("2026-12-05 07:15:30", -1, kEmptyText),
                  Logged("2026-12-05 07:47:00", 28, u"Timeout was reached"_s)},
                 {{"0 06:15", SlotState::Stored},
                  {"0 06:45", SlotState::Unchanged},
                  {"0 07:15", SlotState::NothingExtracted},
                  {"0 07:45", SlotState::Error}}},
        // Started inside a window: the timed fetches come late, still one per half hour.
        GridCase{"late_start_keeps_to_its_half_hour",
                 {Logged("2026-12-06 06:41:02", 7, u"Couldn't connect to server"_s),
                  Logged("2026-12-06 07:11:01", 0, kNotWritten)},
                 {{"1 06:15", SlotState::Error}, {"1 06:45", SlotState::Unchanged}}},
        // A Get clicked after the timed fetch, in the same half hour, or between windows.
        GridCase{"get_by_hand_is_not_a_slot",
                 {Logged("2026-12-06 10:15:02", 0, kNotWritten),
                  Logged("2026-12-06 10:27:41", 7, u"Couldn't connect to server"_s),
                  Logged("2026-12-06 12:41:37", 0, kWritten),
                  Logged("2026-12-06 06:14:59", 0, kWritten)},
                 {{"1 10:15", SlotState::Unchanged}}},
        // A day the program did not run, the last slot's long half hour, rows newest first.
        GridCase{"missing_day_and_window_ends",
                 {Logged("2026-12-07 11:15:09", 0, kNotWritten),
                  Logged("2026-12-07 08:44:59", 0, kWritten),
                  Logged("2026-12-05 17:15:02", -1, kEmptyText),
                  Logged("2026-12-05 17:45:00", 0, kWritten)},
                 {{"2 08:15", SlotState::Stored},
                  {"2 11:15", SlotState::Unchanged},
                  {"0 17:15", SlotState::NothingExtracted}}},
        GridCase{"outside_the_days",
                 {Logged("2026-12-04 17:15:02", 0, kWritten),
                  Logged("2026-12-08 06:15:02", 0, kWritten), Logged("not a time", 0, kWritten)},
                 {}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace skyloom

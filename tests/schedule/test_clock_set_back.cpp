#include <gtest/gtest.h>

#include <vector>

#include "schedule_harness.h"

namespace skyloom {
namespace {

using test::ScheduleHarness;

// One tick at `at`, on any day; true when it started a fetch, which is waited for.
bool TickOn(ScheduleHarness& harness, const QDateTime& at) {
  harness.Clock().Set(at);
  const qsizetype before = harness.Started().size();
  harness.Driver().Tick();
  if (harness.Started().size() == before) return false;
  EXPECT_TRUE(harness.WaitForFetch()) << "the fetch at " << at.toString().toStdString();
  return true;
}

struct SetBack {
  const char* name;
  QDateTime lastFetch;
  QDateTime correctedTo;
  QDateTime nextFetch;
};

void PrintTo(const SetBack& c, std::ostream* out) { *out << c.name; }

class ClockSetBack : public testing::TestWithParam<SetBack> {};

// A last fetch later than the clock means the clock went back; the next tick inside a window
// fetches instead of waiting for the clock to catch up, and only that tick.
TEST_P(ClockSetBack, TheNextTickInsideAWindowFetchesAndStores) {
  const SetBack& c = GetParam();
  ScheduleHarness harness;
  harness.StartAt(QTime(0, 0, 0));
  ASSERT_TRUE(TickOn(harness, c.lastFetch));

  std::vector<QDateTime> fetched;
  for (QDateTime t = c.correctedTo; t <= c.nextFetch.addSecs(60); t = t.addSecs(1)) {
    if (TickOn(harness, t)) fetched.push_back(t);
  }

  EXPECT_EQ(fetched, std::vector<QDateTime>{c.nextFetch});
  ASSERT_EQ(harness.Finished().size(), 2);
  EXPECT_EQ(harness.FinishedAt(1).timed, true);         // timed
  EXPECT_EQ(harness.StoreErrorAt(1), QString());  // stored
  EXPECT_EQ(harness.LastSyncShown().size(), 2);
  EXPECT_EQ(harness.Db().Tqlog().size(), 2u);
}

QDateTime On(int day, const QTime& timeOfDay) { return QDateTime(QDate(2026, 12, day), timeOfDay); }

const SetBack kSetBacks[] = {
    {"hours_back_on_the_same_day", On(7, QTime(16, 45)), On(7, QTime(9, 20)), On(7, QTime(9, 20))},
    {"back_across_midnight", On(8, QTime(7, 0)), On(7, QTime(6, 20)), On(7, QTime(6, 20))},
    {"days_back_to_before_a_window", On(10, QTime(14, 15)), On(7, QTime(9, 14, 50)),
     On(7, QTime(9, 15))},
    {"less_than_30_minutes_back", On(7, QTime(7, 15)), On(7, QTime(6, 50, 30)),
     On(7, QTime(6, 50, 30))},
};

INSTANTIATE_TEST_SUITE_P(SyncDriver, ClockSetBack, testing::ValuesIn(kSetBacks),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace skyloom

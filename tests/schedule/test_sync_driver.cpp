#include <gtest/gtest.h>

#include <QThread>
#include <vector>

#include "schedule_harness.h"

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;
using test::On7December;
using test::ScheduleHarness;

// Ticks once a second from `from` to `to`, both included; the instants that fetched.
std::vector<QTime> TickThrough(ScheduleHarness& harness, const QTime& from, const QTime& to) {
  std::vector<QTime> fetched;
  for (QTime t = from; t <= to; t = t.addSecs(1)) {
    if (harness.TickAt(t)) fetched.push_back(t);
    if (t == QTime(23, 59, 59)) break;
  }
  return fetched;
}

TEST(SyncDriver, StartedAt063020ItFetchesFirstAt063100) {
  ScheduleHarness harness;
  harness.StartAt(QTime(6, 30, 20));

  EXPECT_TRUE(TickThrough(harness, QTime(6, 30, 20), QTime(6, 30, 59)).empty());
  EXPECT_EQ(harness.Server().Requests(), 0);

  ASSERT_TRUE(harness.TickAt(QTime(6, 31, 0)));
  EXPECT_EQ(harness.Server().Requests(), 1);
  ASSERT_EQ(harness.Finished().size(), 1);
  EXPECT_EQ(harness.FinishedAt(0).timed, true);   // timed
  EXPECT_EQ(harness.StoreErrorAt(0), QString());  // stored
  EXPECT_EQ(harness.Driver().LastSync(), On7December(QTime(6, 31, 0)));
  EXPECT_EQ(harness.Db().Tqlog().size(), 1u);
}

struct Edge {
  QTime at;
  bool inside;
};

void PrintTo(const Edge& edge, std::ostream* out) {
  *out << edge.at.toString().toStdString() << (edge.inside ? " inside" : " outside");
}

class WindowEdges : public testing::TestWithParam<Edge> {};

// Long after the last fetch, a tick fetches exactly when it falls inside a window.
TEST_P(WindowEdges, FetchOnlyInsideTheClosedWindows) {
  ScheduleHarness harness;
  harness.StartAt(QTime(0, 0, 0));

  EXPECT_EQ(harness.TickAt(GetParam().at), GetParam().inside);
  EXPECT_EQ(harness.Server().Requests(), GetParam().inside ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    SyncDriver, WindowEdges,
    testing::Values(Edge{QTime(6, 14, 59), false}, Edge{QTime(6, 15, 0), true},
                    Edge{QTime(8, 17, 30), true}, Edge{QTime(8, 17, 31), false},
                    Edge{QTime(9, 14, 59), false}, Edge{QTime(9, 15, 0), true},
                    Edge{QTime(11, 17, 30), true}, Edge{QTime(11, 17, 31), false},
                    Edge{QTime(14, 14, 59), false}, Edge{QTime(14, 15, 0), true},
                    Edge{QTime(17, 17, 30), true}, Edge{QTime(17, 17, 31), false}),
    [](const testing::TestParamInfo<Edge>& info) {
      return info.param.at.toString(u"HHmmss"_s).toStdString() +
             (info.param.inside ? "_inside" : "_outside");
    });

TEST(SyncDriver, AFetchAt0815IsNotRepeatedBeforeTheNextWindow) {
  ScheduleHarness harness;
  harness.StartAt(QTime(8, 14, 30));

  const auto fetched = TickThrough(harness, QTime(8, 14, 30), QTime(9, 15, 0));

  EXPECT_EQ(fetched, (std::vector<QTime>{QTime(8, 15, 0), QTime(9, 15, 0)}));
}

TEST(SyncDriver, TheGetButtonDoesNotMoveTheNextTimedFetch) {
  ScheduleHarness harness;
  harness.StartAt(QTime(6, 30, 20));
  ASSERT_TRUE(harness.TickAt(QTime(6, 31, 0)));

  harness.Clock().Set(On7December(QTime(7, 0, 0)));
  ASSERT_TRUE(harness.Driver().FetchNow());
  ASSERT_TRUE(harness.WaitForFetch());
  EXPECT_EQ(harness.FinishedAt(-1).timed, false);  // not timed
  EXPECT_EQ(harness.Driver().LastSync(), On7December(QTime(6, 31, 0)));

  const auto fetched = TickThrough(harness, QTime(7, 0, 0), QTime(7, 1, 0));

  EXPECT_EQ(fetched, std::vector<QTime>{QTime(7, 1, 0)});
  EXPECT_EQ(harness.Server().Requests(), 3);
}

TEST(SyncDriver, AStoreFailureInATimedFetchIsReportedAndTheScheduleMovesOn) {
  ScheduleHarness harness;
  harness.StartAt(QTime(6, 30, 20), harness.Db().Folder() + u"/gone/tqyb.mdb"_s);

  ASSERT_TRUE(harness.TickAt(QTime(6, 31, 0)));

  ASSERT_EQ(harness.Finished().size(), 1);
  EXPECT_EQ(harness.FinishedAt(0).timed, true);
  EXPECT_TRUE(harness.StoreErrorAt(0).contains(u"does not exist"_s))
      << harness.StoreErrorAt(0).toStdString();
  EXPECT_EQ(harness.LastSyncShown().size(), 0);
  // LastSync moves on all the same, or a broken database would mean a fetch every second.
  EXPECT_EQ(harness.Driver().LastSync(), On7December(QTime(6, 31, 0)));
  EXPECT_FALSE(harness.TickAt(QTime(6, 31, 1)));
  EXPECT_EQ(harness.Server().Requests(), 1);
}

TEST(SyncDriver, ADueTickWhileAGetFetchRunsWaitsForIt) {
  ScheduleHarness harness;
  harness.StartAt(QTime(6, 30, 20));
  harness.holdRequests = true;
  harness.Clock().Set(On7December(QTime(6, 30, 50)));
  ASSERT_TRUE(harness.Driver().FetchNow());
  for (int i = 0; i < 1000 && harness.Server().Requests() == 0; ++i) QThread::msleep(10);
  ASSERT_EQ(harness.Server().Requests(), 1);

  // Due by the count, but the Get fetch still waits for the server.
  EXPECT_FALSE(harness.TickAt(QTime(6, 31, 0)));
  EXPECT_FALSE(harness.Driver().FetchNow());
  EXPECT_EQ(harness.Started().size(), 1);

  harness.holdRequests = false;
  ASSERT_TRUE(harness.WaitForFetch());
  EXPECT_EQ(harness.FinishedAt(-1).timed, false);
  EXPECT_EQ(harness.Server().Requests(), 1);

  ASSERT_TRUE(harness.TickAt(QTime(6, 31, 1)));
  EXPECT_EQ(harness.FinishedAt(-1).timed, true);
  EXPECT_EQ(harness.Server().Requests(), 2);
  EXPECT_EQ(harness.Driver().LastSync(), On7December(QTime(6, 31, 1)));
}

// A freeze or a lost lease during the download: the turn is gone by the time the page is in,
// so nothing is logged in a slot that is now another collector's.
TEST(SyncDriver, ATimedFetchWhoseTurnWasLostDuringTheDownloadIsNotLogged) {
  ScheduleHarness harness;
  harness.StartAt(QTime(6, 30, 20));
  std::atomic<bool> held{true};
  harness.Driver().SetTimedFetchGate([](const QDateTime&, auto answer) { answer(true); },
                                     [&held] { return held.load(); });
  QSignalSpy dropped(&harness.Driver(), &SyncDriver::fetchDropped);
  harness.holdRequests = true;
  harness.Clock().Set(On7December(QTime(6, 31, 0)));
  harness.Driver().Tick();
  for (int i = 0; i < 1000 && harness.Server().Requests() == 0; ++i) QThread::msleep(10);
  ASSERT_EQ(harness.Server().Requests(), 1);

  held = false;
  harness.holdRequests = false;
  ASSERT_TRUE(dropped.wait(30'000));
  EXPECT_EQ(harness.Finished().size(), 0);
  EXPECT_EQ(harness.Driver().LastSync(), On7December(QTime(6, 1, 20)));
  // A Get then writes the file's only row.
  ASSERT_TRUE(harness.Driver().FetchNow());
  ASSERT_TRUE(harness.WaitForFetch());
  EXPECT_EQ(harness.Db().Tqlog().size(), 1u);
}

}  // namespace
}  // namespace skyloom

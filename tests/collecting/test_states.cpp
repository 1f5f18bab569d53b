#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QSignalSpy>

#include "collecting/role_keeper.h"
#include "collecting/sync_driver.h"
#include "store/pg_store.h"
#include "support/pg_server.h"

namespace skyloom {
namespace {

using namespace std::chrono_literals;
using S = DriverState;
using E = DriverEvent;
using A = DriverAction;

TEST(DriverStates, EachEventTakesTheDriverWhereTheTableSays) {
  const struct {
    S from;
    E event;
    S to;
    A action;
  } rows[] = {{S::Stopped, E::DueTick, S::Stopped, A::None},
              {S::Stopped, E::Get, S::Fetching, A::FetchGet},
              {S::Stopped, E::Start, S::Idle, A::None},
              {S::Idle, E::DueTick, S::Asking, A::Ask},
              {S::Idle, E::TookOver, S::AskingLate, A::Ask},
              {S::Idle, E::Get, S::Fetching, A::FetchGet},
              {S::Idle, E::Granted, S::Idle, A::None},  // the answer to an ask that is gone
              {S::Asking, E::DueTick, S::Asking, A::None},
              {S::Asking, E::Granted, S::Fetching, A::FetchTimed},
              {S::Asking, E::Refused, S::Idle, A::KeepTime},
              {S::Asking, E::Unsure, S::Idle, A::None},
              {S::Asking, E::Get, S::Fetching, A::FetchGet},
              {S::Asking, E::TookOver, S::AskingLate, A::None},
              {S::AskingLate, E::Granted, S::Fetching, A::FetchTimed},
              {S::AskingLate, E::Refused, S::Idle, A::None},
              {S::AskingLate, E::Unsure, S::LateOwed, A::None},
              {S::AskingLate, E::Get, S::FetchingLateOwed, A::FetchGet},
              {S::LateOwed, E::Tick, S::AskingLate, A::Ask},
              {S::LateOwed, E::QuietTick, S::Idle, A::None},
              {S::LateOwed, E::Get, S::FetchingLateOwed, A::FetchGet},
              {S::Fetching, E::Get, S::Fetching, A::RefuseGet},
              {S::Fetching, E::TookOver, S::FetchingLateOwed, A::None},
              {S::Fetching, E::CycleEnded, S::Idle, A::None},
              {S::FetchingLateOwed, E::CycleEnded, S::LateOwed, A::None},
              {S::FetchingLateOwed, E::Stop, S::Stopped, A::None}};
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << "from " << int(row.from) << " on " << int(row.event));
    EXPECT_EQ(NextDriverStep(row.from, row.event), (DriverStep{row.to, row.action}));
  }
}

TEST(RoleStates, EachEventTakesTheKeeperWhereTheTableSays) {
  using R = RoleState;
  using V = RoleEvent;
  const struct {
    R from;
    V event;
    R to;
  } rows[] = {{R::Unknown, V::Held, R::Active},       {R::Unknown, V::Refused, R::Standby},
              {R::Unknown, V::Failed, R::Alone},      {R::Active, V::Regained, R::Active},
              {R::Active, V::Failed, R::Active},      {R::Active, V::Silent, R::Alone},
              {R::Active, V::SlotChecked, R::Active}, {R::Standby, V::Held, R::TookOver},
              {R::Standby, V::Failed, R::Standby},    {R::Standby, V::Silent, R::Alone},
              {R::TookOver, V::Held, R::TookOver},    {R::TookOver, V::SlotChecked, R::Holding},
              {R::TookOver, V::Refused, R::Standby},  {R::Holding, V::Held, R::Holding},
              {R::Holding, V::Regained, R::TookOver}, {R::Alone, V::Failed, R::Alone},
              {R::Alone, V::Held, R::TookOver},       {R::Alone, V::Refused, R::Standby}};
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << "from " << int(row.from) << " on " << int(row.event));
    EXPECT_EQ(NextRoleState(row.from, row.event), row.to);
  }
}

// A standby whose lease calls fail keeps its role for a term, then fetches on every slot
// and says why.
TEST(RoleKeeper, FailingLeaseCallsKeepTheRoleForATermThenTheCollectorFetchesAlone) {
  char* argv[] = {const_cast<char*>("test_states"), nullptr};
  int argc = 1;
  QCoreApplication application(argc, argv);
  test::PgServer server;
  ASSERT_TRUE(PgStore(server.Uri(), {}).CreateTables());
  const auto term = 1500ms;
  const auto holder = OpenCollectorLease(server.Uri(), {}, term);
  ASSERT_EQ(holder->Hold(std::chrono::steady_clock::now() + 5s)->role, CollectorRole::Active);
  RoleKeeper keeper(OpenCollectorLease(server.Uri(), {}, term), SyncWindows{});
  QSignalSpy roles(&keeper, &RoleKeeper::roleChanged);
  QSignalSpy reports(&keeper, &RoleKeeper::report);
  keeper.Start();
  ASSERT_TRUE(roles.wait(5'000));
  ASSERT_EQ(keeper.Role(), CollectorRole::Standby);

  server.Stop();
  const auto stopped = std::chrono::steady_clock::now();
  ASSERT_TRUE(reports.wait(10'000));
  EXPECT_GE(std::chrono::steady_clock::now() - stopped, term / 2);  // the last answer stood
  EXPECT_TRUE(reports.at(0).at(0).toString().contains(u"fetching on every slot"))
      << reports.at(0).at(0).toString().toStdString();
  ASSERT_EQ(roles.size(), 2);
  EXPECT_EQ(keeper.Role(), CollectorRole::Active);

  std::optional<bool> fetch;
  keeper.AskTimedFetch(QDateTime(QDate(2026, 12, 7), QTime(6, 15)),
                       [&](std::optional<bool> answer) { fetch = answer; });
  for (const QDeadlineTimer bound(5'000); !fetch && !bound.hasExpired();)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  EXPECT_EQ(fetch, true);
}

}  // namespace
}  // namespace skyloom

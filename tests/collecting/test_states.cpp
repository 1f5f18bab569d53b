#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QSignalSpy>
#include <vector>

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

struct DriverStory {
  const char* name;
  std::vector<E> events;   // after Start
  std::vector<A> actions;  // what the collector does, in order
  S last;
};

// What the collector does through the sequences that matter, whatever the states are called.
TEST(DriverStates, TheCollectorFetchesEachSlotOnceThroughTakeOversLateAnswersAndStops) {
  const DriverStory stories[] = {
      {"a due slot is asked for once, granted and fetched",
       {E::DueTick, E::DueTick, E::Granted, E::CycleEnded},
       {A::Ask, A::FetchTimed},
       S::Idle},
      {"a standby keeps time with the group",
       {E::DueTick, E::Refused, E::CycleEnded},
       {A::Ask, A::KeepTime},
       S::Idle},
      {"a take-over during a fetch owes the slot a late fetch after it",
       {E::DueTick, E::Granted, E::TookOver, E::CycleEnded, E::Tick, E::Granted},
       {A::Ask, A::FetchTimed, A::Ask, A::FetchTimed},
       S::Fetching},
      {"an answer too late to trust is asked again at the next tick",
       {E::TookOver, E::Unsure, E::Tick, E::Granted},
       {A::Ask, A::Ask, A::FetchTimed},
       S::Fetching},
      {"a late fetch owed outside the windows is dropped",
       {E::TookOver, E::Unsure, E::QuietTick, E::Tick},
       {A::Ask},
       S::Idle},
      {"a Get during an ask runs, and the answer to the ask starts nothing",
       {E::DueTick, E::Get, E::Granted, E::CycleEnded, E::Granted},
       {A::Ask, A::FetchGet},
       S::Idle},
      {"a Get during a fetch is refused",
       {E::Get, E::Get, E::CycleEnded},
       {A::FetchGet, A::RefuseGet},
       S::Idle},
      {"a stop during an ask ends it: its answer starts nothing",
       {E::DueTick, E::Stop, E::Granted, E::DueTick},
       {A::Ask},
       S::Stopped},
  };
  for (const DriverStory& story : stories) {
    SCOPED_TRACE(story.name);
    S state = NextDriverStep(S::Stopped, E::Start).state;
    std::vector<A> actions;
    for (const E event : story.events) {
      const DriverStep step = NextDriverStep(state, event);
      if (step.action != A::None) actions.push_back(step.action);
      state = step.state;
    }
    EXPECT_EQ(actions, story.actions);
    EXPECT_EQ(state, story.last);
  }
}

struct RoleStory {
  const char* name;
  std::vector<RoleEvent> events;
  std::vector<CollectorRole> roles;  // after each event
};

TEST(RoleStates, TheRoleFollowsTheGroupAndStandsForATermWhenTheGroupCannotBeAsked) {
  using V = RoleEvent;
  constexpr auto kActive = CollectorRole::Active;
  constexpr auto kStandby = CollectorRole::Standby;
  const RoleStory stories[] = {
      {"a standby takes the turn over and keeps it",
       {V::Refused, V::Held, V::SlotChecked, V::Held},
       {kStandby, kActive, kActive, kActive}},
      {"a failed call while the last answer stands changes nothing",
       {V::Refused, V::Failed, V::Held, V::Failed},
       {kStandby, kStandby, kActive, kActive}},
      {"silence for a term makes a standby fetch alone until the group answers",
       {V::Refused, V::Silent, V::Failed, V::Refused},
       {kStandby, kActive, kActive, kStandby}},
      {"a holder that loses the turn stands by",
       {V::Held, V::Refused, V::Held, V::SlotChecked, V::Refused},
       {kActive, kStandby, kActive, kActive, kStandby}},
  };
  for (const RoleStory& story : stories) {
    SCOPED_TRACE(story.name);
    RoleState state = RoleState::Unknown;
    std::vector<CollectorRole> roles;
    for (const V event : story.events) {
      state = NextRoleState(state, event);
      roles.push_back(RoleOf(state));
    }
    EXPECT_EQ(roles, story.roles);
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

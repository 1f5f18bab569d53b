#include <gtest/gtest.h>

#include "schedule_harness.h"
#include "store/pg_store.h"
#include "support/pg_server.h"

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using test::ScheduleHarness;

// While the server is down every timed fetch reports why and the schedule goes on; the first
// fetch after it is back stores again.
TEST(ServerOutage, TheScheduleKeepsGoingAndStoresAgainOnceTheServerIsBack) {
  test::PgServer server;
  ASSERT_TRUE(PgStore(server.Uri(), {}).CreateTables());
  ScheduleHarness harness;
  harness.StartAt(QTime(6, 30, 20), server.Uri());

  ASSERT_TRUE(harness.TickAt(QTime(6, 31)));
  server.Stop();
  ASSERT_TRUE(harness.TickAt(QTime(7, 1)));
  ASSERT_TRUE(harness.TickAt(QTime(7, 31)));
  server.Start();
  ASSERT_TRUE(harness.TickAt(QTime(8, 1)));

  ASSERT_EQ(harness.Finished().size(), 4);
  for (const int down : {1, 2}) {
    const QString error = harness.StoreErrorAt(down);
    EXPECT_TRUE(error.contains(u"127.0.0.1"_s)) << error.toStdString();
    EXPECT_FALSE(error.contains(server.Password())) << error.toStdString();
  }
  EXPECT_EQ(harness.StoreErrorAt(0), QString());
  EXPECT_EQ(harness.StoreErrorAt(3), QString());
  EXPECT_EQ(harness.Driver().LastAttempt().stored.logged.description, u"未写入"_s);
}

}  // namespace
}  // namespace skyloom

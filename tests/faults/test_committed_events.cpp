#include <gtest/gtest.h>
#include <signal.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <atomic>
#include <memory>
#include <mutex>

#include "platform/pg_connection.h"
#include "skyloom_process.h"
#include "store/open_store.h"
#include "support/gb_bytes.h"
#include "support/test_database.h"
#include "support/test_server.h"

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;
using Program = std::unique_ptr<test::HeadlessProgram>;

// Collectors on one database against a page that fails until `back`, with a webhook that
// keeps the events it is told and commands that write SKYLOOM_FAILURES to a file each. Their
// clocks run 360 times as fast, so the half-hourly fetches come every 5 s.
struct Group {
  explicit Group(test::Backend backend) : db(test::MakeTestDatabase(backend)) {
    page.Http().Get("/page", [this](const httplib::Request&, httplib::Response& response) {
      const QByteArray body = back ? good : QByteArray(good).replace("<!-- begin -->", "");
      response.set_content(body.constData(), static_cast<size_t>(body.size()), "text/html");
    });
    receiver.Http().Post("/hook", [this](const httplib::Request& request, httplib::Response&) {
      const QJsonObject event = QJsonDocument::fromJson(request.body.c_str()).object();
      const std::lock_guard lock(mutex);
      told << u"%1 %2"_s.arg(event[u"event"_s].toString()).arg(event[u"failures"_s].toInt());
    });
    page.Start();
    receiver.Start();
    EXPECT_TRUE(OpenStore(db->Location())->CreateTables());
    options.clockStart = QDateTime(QDate(2026, 12, 7), QTime(14, 31, 58));
    options.clockRate = 360;
  }
  Program Start() const {
    const auto command = [&](const QString& name) {
      return u"echo \"$SKYLOOM_FAILURES\" >> '%1'"_s.arg(folder.filePath(name));
    };
    return std::make_unique<test::HeadlessProgram>(
        QStringList{u"--url"_s, page.Url(u"/page"_s), u"--db"_s, db->Location(), u"--on-failure"_s,
                    command(u"failure"_s), u"--on-recovery"_s, command(u"recovery"_s),
                    u"--lease-seconds"_s, u"3"_s, u"--db-connect-timeout"_s, u"3600"_s,
                    u"--notify"_s,
                    u"webhook %1 events=failure,recovery"_s.arg(receiver.Url(u"/hook"_s))},
        options);
  }
  QString Ran(const QString& name) const {
    QFile file(folder.filePath(name));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
  }
  QStringList Told() {
    const std::lock_guard lock(mutex);
    return told;
  }
  int Failed() const {
    int failed = 0;
    for (const auto& row : db->Tqlog()) failed += row.errstat == u"获取错误"_s ? 1 : 0;
    return failed;
  }

  const QByteArray good = test::ReadTestData(u"shortnb_output.html"_s);
  std::atomic<bool> back{false};
  test::TestServer page;
  test::TestServer receiver;
  std::mutex mutex;
  QStringList told;  // "event failures", in the order they came
  std::unique_ptr<test::TestDatabase> db;
  QTemporaryDir folder;
  test::ProgramOptions options;
};

struct Outage {
  const char* name;
  test::Backend backend;
  bool takeover;  // else the collector is restarted twice
};
void PrintTo(const Outage& outage, std::ostream* out) { *out << outage.name; }

class AlertRun : public testing::TestWithParam<Outage> {};

// Whoever logs the attempts, the group tells of an outage once when it starts and once when it
// ends, and runs each command once: across restarts, and across a kill while a standby waits.
TEST_P(AlertRun, AnOutageIsToldOnceAndItsEndOnceAcrossRestartsAndTakeOvers) {
  Group group(GetParam().backend);
  Program first = group.Start();
  ASSERT_TRUE(first->WaitUntil(
      [&] { return group.Told().size() == 1 && group.Ran(u"failure"_s) == u"1\n"_s; }, 40'000))
      << first->Err().toStdString();
  Program next;
  if (GetParam().takeover) {
    next = group.Start();
    ASSERT_TRUE(next->WaitUntil([&] { return next->Out().contains(u"standby"_s); }, 30'000));
    ::kill(static_cast<pid_t>(first->Pid()), SIGKILL);
  } else {
    // Restarted while the page still fails: more failures logged, nothing told again.
    EXPECT_TRUE(first->Terminate()) << first->Err().toStdString();
    const int before = group.Failed();
    const Program again = group.Start();
    ASSERT_TRUE(again->WaitUntil([&] { return group.Failed() > before; }, 40'000));
    EXPECT_TRUE(again->Terminate()) << again->Err().toStdString();
    next = group.Start();
  }
  group.back = true;
  ASSERT_TRUE(next->WaitUntil([&] { return group.Told().size() == 2; }, 40'000))
      << next->Err().toStdString();
  ASSERT_TRUE(next->WaitUntil([&] { return !group.Ran(u"recovery"_s).isEmpty(); }, 20'000));
  EXPECT_TRUE(next->Terminate()) << next->Err().toStdString();
  const QString failures = QString::number(group.Failed());
  EXPECT_EQ(group.Ran(u"failure"_s), u"1\n"_s);
  EXPECT_EQ(group.Ran(u"recovery"_s), failures + u'\n');
  EXPECT_EQ(group.Told(), (QStringList{u"failure 1"_s, u"recovery "_s + failures}));
}

INSTANTIATE_TEST_SUITE_P(
    Outages, AlertRun,
    testing::Values(Outage{"restarts_sqlite", test::Backend::Sqlite, false},
                    Outage{"restarts_postgresql", test::Backend::Postgres, false},
                    Outage{"takeover_sqlite", test::Backend::Sqlite, true},
                    Outage{"takeover_postgresql", test::Backend::Postgres, true}),
    [](const auto& info) { return std::string(info.param.name); });

// Held up by a lock another session holds on the outbox, after its log row is written, then
// killed: the failed attempt leaves nothing, not its slot either; the next one writes it all.
TEST(AttemptTransaction, AKillInsideItLeavesNothingAndTheNextAttemptWritesItAll) {
  Group group(test::Backend::Postgres);
  const auto count = [&](const char* sql) {
    PgConnection look;
    EXPECT_TRUE(look.Open(group.db->Location(), std::chrono::seconds(5), {}));
    return look.QueryInt(sql, {}).value_or(-1);
  };
  PgConnection holder;
  ASSERT_TRUE(holder.Open(group.db->Location(), std::chrono::seconds(5), {}));
  ASSERT_TRUE(holder.Execute("BEGIN; LOCK TABLE outbox IN ACCESS EXCLUSIVE MODE"));
  Program killed = group.Start();
  ASSERT_TRUE(killed->WaitUntil(
      [&] {
        return count(
                   "SELECT count(*) FROM pg_stat_activity WHERE wait_event_type = 'Lock' "
                   "AND query LIKE 'INSERT INTO outbox%'") == 1;
      },
      30'000))
      << killed->Err().toStdString();
  ::kill(static_cast<pid_t>(killed->Pid()), SIGKILL);
  killed.reset();
  ASSERT_TRUE(holder.Execute("ROLLBACK"));
  EXPECT_TRUE(group.db->Tqlog().empty());
  EXPECT_EQ(count("SELECT count(*) FROM outbox"), 0);
  EXPECT_EQ(count("SELECT count(last_slot) FROM skyloom_collector_lease"), 0);

  const Program next = group.Start();
  ASSERT_TRUE(next->WaitUntil([&] { return !group.db->Tqlog().empty(); }, 30'000));
  EXPECT_EQ(count("SELECT count(*) FROM outbox"), 1);
  EXPECT_EQ(count("SELECT count(last_slot) FROM skyloom_collector_lease"), 1);
}

}  // namespace
}  // namespace skyloom

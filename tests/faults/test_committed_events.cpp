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

QString FileText(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

struct Outage {
  const char* name;
  test::Backend backend;
  // The outage outlives the collector that saw it start: restarted twice, or killed while a
  // standby waits.
  bool takeover;
};
void PrintTo(const Outage& outage, std::ostream* out) { *out << outage.name; }

class AlertRun : public testing::TestWithParam<Outage> {};

// Whoever logs the attempts, the group sends one failure when an outage starts and one
// recovery when it ends, and runs each command once. The clock runs 360 times as fast, so the
// half-hourly fetches come every 5 s.
TEST_P(AlertRun, AnOutageIsToldOnceAndItsEndOnceAcrossRestartsAndTakeOvers) {
  const QByteArray good = test::ReadTestData(u"shortnb_output.html"_s);
  const QByteArray broken = QByteArray(good).replace("<!-- begin -->", "");
  std::atomic<bool> back{false};
  test::TestServer page;
  page.Http().Get("/page", [&](const httplib::Request&, httplib::Response& response) {
    const QByteArray& body = back ? good : broken;
    response.set_content(body.constData(), static_cast<size_t>(body.size()), "text/html");
  });
  page.Start();
  std::mutex mutex;
  QStringList told;  // the webhook's events, in the order they came
  test::TestServer receiver;
  receiver.Http().Post("/hook", [&](const httplib::Request& request, httplib::Response&) {
    const QJsonObject event =
        QJsonDocument::fromJson(QByteArray::fromStdString(request.body)).object();
    const std::lock_guard lock(mutex);
    told << u"%1 %2"_s.arg(event[u"event"_s].toString()).arg(event[u"failures"_s].toInt());
  });
  receiver.Start();
  const auto toldCount = [&] {
    const std::lock_guard lock(mutex);
    return told.size();
  };
  const auto db = test::MakeTestDatabase(GetParam().backend);
  ASSERT_TRUE(OpenStore(db->Location())->CreateTables());
  QTemporaryDir folder;
  const auto record = [&](const QString& name) {
    return u"echo \"$SKYLOOM_FAILURES\" >> '%1'"_s.arg(folder.filePath(name));
  };
  const QStringList arguments{
      u"--url"_s,
      page.Url(u"/page"_s),
      u"--db"_s,
      db->Location(),
      u"--on-failure"_s,
      record(u"failure"_s),
      u"--on-recovery"_s,
      record(u"recovery"_s),
      u"--lease-seconds"_s,
      u"3"_s,
      u"--db-connect-timeout"_s,
      u"3600"_s,
      u"--notify"_s,
      u"webhook %1 events=failure,recovery"_s.arg(receiver.Url(u"/hook"_s))};
  test::ProgramOptions options;
  options.clockStart = QDateTime(QDate(2026, 12, 7), QTime(14, 31, 58));
  options.clockRate = 360;
  const auto failedRows = [&] {
    int failed = 0;
    for (const auto& row : db->Tqlog()) failed += row.errstat == u"获取错误"_s ? 1 : 0;
    return failed;
  };

  // The outage starts: one failure told, one command.
  auto first = std::make_unique<test::HeadlessProgram>(arguments, options);
  ASSERT_TRUE(first->WaitUntil(
      [&] { return toldCount() == 1 && FileText(folder.filePath(u"failure"_s)) == u"1\n"_s; },
      40'000))
      << first->Err().toStdString();
  std::unique_ptr<test::HeadlessProgram> next;
  if (GetParam().takeover) {
    next = std::make_unique<test::HeadlessProgram>(arguments, options);
    ASSERT_TRUE(next->WaitUntil([&] { return next->Out().contains(u"standby"_s); }, 30'000));
    ::kill(static_cast<pid_t>(first->Pid()), SIGKILL);
    first.reset();
  } else {
    EXPECT_TRUE(first->Terminate()) << first->Err().toStdString();
    // Restarted while the page still fails: more failures logged, nothing told again.
    const int before = failedRows();
    test::HeadlessProgram again(arguments, options);
    ASSERT_TRUE(again.WaitUntil([&] { return failedRows() > before; }, 40'000))
        << again.Err().toStdString();
    EXPECT_TRUE(again.Terminate()) << again.Err().toStdString();
    next = std::make_unique<test::HeadlessProgram>(arguments, options);
  }

  // The page is back: the collector that logs the good attempt tells of the end.
  back = true;
  ASSERT_TRUE(
      next->WaitUntil([&] { return !FileText(folder.filePath(u"recovery"_s)).isEmpty(); }, 40'000))
      << next->Err().toStdString();
  ASSERT_TRUE(next->WaitUntil([&] { return toldCount() == 2; }, 20'000))
      << next->Err().toStdString();
  EXPECT_TRUE(next->Terminate()) << next->Err().toStdString();
  const QString failures = QString::number(failedRows());
  EXPECT_EQ(FileText(folder.filePath(u"failure"_s)), u"1\n"_s);
  EXPECT_EQ(FileText(folder.filePath(u"recovery"_s)), failures + u'\n');
  const std::lock_guard lock(mutex);
  EXPECT_EQ(told, (QStringList{u"failure 1"_s, u"recovery "_s + failures}));
}

INSTANTIATE_TEST_SUITE_P(
    Outages, AlertRun,
    testing::Values(Outage{"restarts_sqlite", test::Backend::Sqlite, false},
                    Outage{"restarts_postgresql", test::Backend::Postgres, false},
                    Outage{"takeover_sqlite", test::Backend::Sqlite, true},
                    Outage{"takeover_postgresql", test::Backend::Postgres, true}),
    [](const auto& info) { return std::string(info.param.name); });

// Held up by a lock another session holds on the outbox, after its log row and forecast are
// written, then killed: the attempt leaves nothing behind, not its slot either, and the next
// attempt writes all of it.
TEST(AttemptTransaction, AKillInsideItLeavesNothingAndTheNextAttemptWritesItAll) {
  test::TestServer page;
  page.ServeBytes("/page", test::ReadTestData(u"shortnb_output.html"_s));
  page.Start();
  const auto db = test::MakeTestDatabase(test::Backend::Postgres);
  ASSERT_TRUE(OpenStore(db->Location())->CreateTables());
  const auto count = [&](const char* sql) {
    PgConnection look;
    EXPECT_TRUE(look.Open(db->Location(), std::chrono::seconds(5), std::chrono::seconds(5)));
    return look.QueryInt(sql, {}).value_or(-1);
  };
  const QStringList arguments{u"--url"_s,
                              page.Url(u"/page"_s),
                              u"--db"_s,
                              db->Location(),
                              u"--lease-seconds"_s,
                              u"3"_s,
                              u"--notify"_s,
                              u"webhook http://127.0.0.1:9/hook"_s};
  test::ProgramOptions options;
  options.clockStart = QDateTime(QDate(2026, 12, 7), QTime(14, 31, 58));
  options.clockRate = 360;

  PgConnection holder;
  ASSERT_TRUE(holder.Open(db->Location(), std::chrono::seconds(5), {}));
  ASSERT_TRUE(holder.Execute("BEGIN; LOCK TABLE outbox IN ACCESS EXCLUSIVE MODE"));
  auto killed = std::make_unique<test::HeadlessProgram>(arguments, options);
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
  EXPECT_TRUE(db->Tq().empty());
  EXPECT_TRUE(db->Tqlog().empty());
  EXPECT_EQ(count("SELECT count(*) FROM outbox"), 0);
  EXPECT_EQ(count("SELECT count(last_slot) FROM skyloom_collector_lease"), 0);

  test::HeadlessProgram next(arguments, options);
  ASSERT_TRUE(next.WaitUntil([&] { return !db->Tqlog().empty(); }, 30'000))
      << next.Err().toStdString();
  EXPECT_EQ(db->Tq().size(), 1u);
  EXPECT_EQ(count("SELECT count(*) FROM outbox"), 1);
  EXPECT_EQ(count("SELECT count(last_slot) FROM skyloom_collector_lease"), 1);
}

}  // namespace
}  // namespace skyloom

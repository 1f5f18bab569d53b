#include <gtest/gtest.h>
#include <sqlite3.h>

#include <QProcess>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "skyloom_process.h"
#include "store/open_store.h"
#include "support/gb_bytes.h"
#include "support/scratch_db.h"
#include "support/test_database.h"
#include "support/test_server.h"

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

// Holds every answer until `expected` requests have arrived, then lets all go at once, so the
// collectors reach the store together.
class Rendezvous final {
 public:
  explicit Rendezvous(int expected) : expected_(expected) {}
  void Arrive() {
    std::unique_lock lock(mutex_);
    if (++arrived_ >= expected_) released_.notify_all();
    released_.wait_for(lock, 20s, [this] { return arrived_ >= expected_; });
  }

 private:
  const int expected_;
  int arrived_ = 0;
  std::mutex mutex_;
  std::condition_variable released_;
};

class CollectorRace : public testing::TestWithParam<std::tuple<test::Backend, int>> {};

TEST_P(CollectorRace, ProcessesFetchingTheSameTextStoreItOnce) {
  const auto [backend, processes] = GetParam();
  const QByteArray page = test::ReadTestData(u"shortnb_output.html"_s);
  Rendezvous rendezvous(processes);
  test::TestServer server;
  server.Http().Get("/page", [&](const httplib::Request&, httplib::Response& response) {
    rendezvous.Arrive();
    response.set_content(page.constData(), static_cast<size_t>(page.size()), "text/html");
  });
  server.Start();
  const auto db = test::MakeTestDatabase(backend);
  ASSERT_TRUE(OpenStore(db->Location())->CreateTables());
  test::Application();

  std::vector<std::unique_ptr<QProcess>> running;
  for (int i = 0; i < processes; ++i) {
    auto& process = running.emplace_back(std::make_unique<QProcess>());
    test::ConfigureProgram(
        *process, {u"--once"_s, u"--url"_s, server.Url(u"/page"_s), u"--db"_s, db->Location()}, {});
    process->start();
  }
  for (auto& process : running) {
    ASSERT_TRUE(process->waitForFinished(60'000));
    EXPECT_EQ(process->exitCode(), 0) << process->readAllStandardError().toStdString();
  }

  EXPECT_EQ(server.Requests(), processes);
  EXPECT_EQ(db->Tq().size(), 1u);
  const auto log = db->Tqlog();
  ASSERT_EQ(log.size(), static_cast<size_t>(processes));
  int written = 0;
  for (const auto& row : log) written += row.errdes == u"成功写入"_s;
  EXPECT_EQ(written, 1);
}

INSTANTIATE_TEST_SUITE_P(Collectors, CollectorRace,
                         testing::Combine(testing::Values(test::Backend::Sqlite,
                                                          test::Backend::Postgres),
                                          testing::Values(2, 8)),
                         [](const auto& info) {
                           return test::BackendName(std::get<0>(info.param)) + "_" +
                                  std::to_string(std::get<1>(info.param));
                         });

// A reader that holds a read transaction, as database browsers and report tools do.
class OpenReader final {
 public:
  explicit OpenReader(const QString& path) {
    sqlite3_open_v2(path.toUtf8().constData(), &db_, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr);
    snapshotRows_ = Count();
  }
  ~OpenReader() { sqlite3_close_v2(db_); }
  OpenReader(const OpenReader&) = delete;
  OpenReader& operator=(const OpenReader&) = delete;

  qint64 Count() const {
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db_, "SELECT count(*) FROM tqlog", -1, &statement, nullptr);
    const qint64 rows =
        sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int64(statement, 0) : -1;
    sqlite3_finalize(statement);
    return rows;
  }
  qint64 SnapshotRows() const { return snapshotRows_; }

 private:
  sqlite3* db_ = nullptr;
  qint64 snapshotRows_ = -1;
};

// Held past the writer's 5 s busy wait, the reader costs no attempt and keeps its snapshot.
TEST(Readers, AnOpenReadTransactionDoesNotHoldOffTheWriter) {
  test::TestServer server;
  server.ServeBytes("/page", test::ReadTestData(u"shortnb_output.html"_s));
  server.Start();
  const test::ScratchDb db;
  const QStringList arguments{u"--url"_s, server.Url(u"/page"_s), u"--db"_s, db.Path()};
  ASSERT_EQ(test::RunOnce(arguments).exitCode, 0);
  const OpenReader reader(db.Path());
  ASSERT_EQ(reader.SnapshotRows(), 1);

  const test::OnceRun once = test::RunOnce(arguments);
  EXPECT_EQ(once.exitCode, 0) << once.err.toStdString();
  EXPECT_EQ(db.Tqlog().size(), 2u);

  test::ProgramOptions options;
  options.clockStart = test::JustBeforeATimedFetch();
  test::HeadlessProgram headless(arguments, options);
  ASSERT_TRUE(headless.WaitForOutputLine(60'000)) << headless.Err().toStdString();
  EXPECT_TRUE(headless.Out().contains(u"正常获取"_s)) << headless.Out().toStdString();
  EXPECT_TRUE(headless.Err().isEmpty()) << headless.Err().toStdString();
  EXPECT_TRUE(headless.Terminate());
  EXPECT_EQ(db.Tqlog().size(), 3u);
  EXPECT_EQ(reader.Count(), reader.SnapshotRows());
}

}  // namespace
}  // namespace skyloom

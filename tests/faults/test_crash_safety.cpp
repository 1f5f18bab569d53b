#include <gtest/gtest.h>
#include <sqlite3.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "skyloom_process.h"
#include "support/gb_bytes.h"
#include "support/scratch_db.h"
#include "support/test_server.h"

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;

constexpr int kWantedKills = 200;
constexpr int kMaxRuns = 1500;
// Kills that must land between a commit and the exit, where a lost row would show.
constexpr int kWantedKillsAfterCommit = 20;
constexpr int kUnkilledEvery = 10;

// Opened for writing as any reader of the file would: the last run may have been killed in
// the middle of a write, and its journal has to be rolled back before the check can read.
std::string IntegrityCheck(const QString& path) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READWRITE, nullptr);
  sqlite3_stmt* statement = nullptr;
  std::string verdict;
  if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW) {
    verdict = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
  } else {
    verdict = std::string("cannot check: ") + sqlite3_errmsg(db);
  }
  sqlite3_finalize(statement);
  sqlite3_close_v2(db);
  return verdict;
}

// Looks into the file the way another program would, to see a forecast the moment it commits.
class CommitWatcher final {
 public:
  explicit CommitWatcher(QString path) : path_(std::move(path)) {}
  ~CommitWatcher() {
    sqlite3_finalize(query_);
    sqlite3_close_v2(db_);
  }
  CommitWatcher(const CommitWatcher&) = delete;
  CommitWatcher& operator=(const CommitWatcher&) = delete;

  bool Holds(const QString& text) {
    if (!query_ && !Prepare()) return false;
    const QByteArray utf8 = text.toUtf8();
    sqlite3_bind_text(query_, 1, utf8.constData(), static_cast<int>(utf8.size()), SQLITE_TRANSIENT);
    const bool found = sqlite3_step(query_) == SQLITE_ROW;
    // Reset at once: a statement left open would hold its read lock between looks.
    sqlite3_reset(query_);
    return found;
  }

 private:
  // The file and its tables appear with the first run.
  bool Prepare() {
    if (!QFileInfo::exists(path_)) return false;
    if (!db_ && sqlite3_open_v2(path_.toUtf8().constData(), &db_, SQLITE_OPEN_READONLY, nullptr) !=
                    SQLITE_OK) {
      return false;
    }
    return sqlite3_prepare_v2(db_, "SELECT 1 FROM tq WHERE tqyb = ?1", -1, &query_, nullptr) ==
           SQLITE_OK;
  }

  QString path_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* query_ = nullptr;
};

// The median of a few whole runs: kills are then spread over everything a run does, from
// loading to the last write, however fast this build is. One slow run must not stretch the
// span so far that most runs end before their kill.
qint64 RunSpanMs(const QStringList& arguments) {
  std::vector<qint64> spans;
  for (int i = 0; i < 5; ++i) {
    QElapsedTimer timer;
    timer.start();
    if (test::RunOnce(arguments).exitCode != 0) return -1;
    spans.push_back(std::max<qint64>(timer.elapsed(), 1));
  }
  std::sort(spans.begin(), spans.end());
  return spans[spans.size() / 2];
}

TEST(CrashSafety, KillsAtRandomMomentsLoseNoLoggedAttemptAndLeaveASoundFile) {
  // A new forecast for every request: each attempt that gets as far as the store writes a
  // tq row, and a completed run's printout names its own row.
  std::atomic<int> served{0};
  test::TestServer server;
  server.Http().Get("/page", [&served](const httplib::Request&, httplib::Response& response) {
    const QByteArray page = test::ToGbBytes(
        u"<!-- begin -->第%1次预报<div align=\"right\"><b>今天</b></div>"_s.arg(++served));
    response.set_content(page.constData(), static_cast<size_t>(page.size()),
                         "text/html; charset=gb2312");
  });
  server.Start();
  const test::ScratchDb db;
  const test::ScratchDb warmUp;
  const QString url = server.Url(u"/page"_s);
  const QStringList arguments{u"--once"_s, u"--url"_s, url, u"--db"_s, db.Path()};

  const qint64 spanMs = RunSpanMs({u"--url"_s, url, u"--db"_s, warmUp.Path()});
  ASSERT_GT(spanMs, 0) << "a whole run failed";

  std::mt19937 random(20261207);
  std::uniform_int_distribution<qint64> delayUs(0, spanMs * 1000);
  CommitWatcher watcher(db.Path());
  int runs = 0;
  int kills = 0;
  int failed = 0;
  QStringList completed;
  QStringList killedAfterCommit;  // the forecast each such run had committed
  while (runs < kMaxRuns && (kills < kWantedKills || completed.size() < 20 ||
                             killedAfterCommit.size() < kWantedKillsAfterCommit)) {
    QProcess process;
    test::ConfigureProgram(process, arguments, {});
    const int servedBefore = served;
    process.start();
    ASSERT_TRUE(process.waitForStarted());
    if (++runs % kUnkilledEvery == 0) {
      // left to finish
    } else if (runs % 2 == 0) {
      // Killed as soon as its forecast is seen committed: between the write and the exit.
      const auto running = [&process] { return !process.waitForFinished(0); };
      while (served == servedBefore && running()) std::this_thread::yield();
      const QString text = u"第%1次预报"_s.arg(servedBefore + 1);
      while (running() && !watcher.Holds(text)) std::this_thread::yield();
      process.kill();
    } else {
      std::this_thread::sleep_for(std::chrono::microseconds(delayUs(random)));
      process.kill();
    }
    ASSERT_TRUE(process.state() == QProcess::NotRunning || process.waitForFinished(30'000))
        << "the program hung";
    if (process.exitStatus() == QProcess::CrashExit) {
      // Any other signal is a crash of the program's own, a sanitizer's abort included.
      EXPECT_EQ(process.exitCode(), SIGKILL) << process.readAllStandardError().toStdString();
      ++kills;
      const QString given = u"第%1次预报"_s.arg(servedBefore + 1);
      if (served != servedBefore && watcher.Holds(given)) killedAfterCommit << given;
    } else if (process.exitCode() == 0) {
      completed << QString::fromUtf8(process.readAllStandardOutput()).trimmed();
    } else {
      ++failed;
      ADD_FAILURE() << "a run after a kill failed: "
                    << process.readAllStandardError().toStdString();
    }
  }
  std::cout << "runs " << runs << ", killed " << kills << ", completed " << completed.size()
            << ", kill delays 0 to " << spanMs << " ms\n";
  ASSERT_GE(kills, kWantedKills);
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(IntegrityCheck(db.Path()), "ok");

  const auto tq = db.Tq();
  const auto log = db.Tqlog();
  // A kill while the file is being made leaves the scratch copy behind; counted, not judged.
  const qsizetype scratchCopies =
      QDir(db.Folder()).entryList({u"tqyb.mdb.new-??????"_s}, QDir::Files).size();
  std::cout << "tq rows " << tq.size() << ", tqlog rows " << log.size()
            << ", scratch copies left from making the file " << scratchCopies << "\n";
  QSet<QString> stored;
  const QRegularExpression servedText(u"^第\\d+次预报$"_s);
  for (const auto& row : tq) {
    stored.insert(row.tqyb.toString());
    EXPECT_TRUE(servedText.match(row.tqyb.toString()).hasMatch())
        << row.tqyb.toString().toStdString();
  }
  for (const QString& text : completed) EXPECT_TRUE(stored.contains(text)) << text.toStdString();
  // A forecast and its log row commit together: each run that got as far as the store left
  // both or neither, and every completed run left both.
  for (const auto& row : log) EXPECT_EQ(row.errdes, u"成功写入"_s);
  EXPECT_EQ(log.size(), tq.size());
  EXPECT_GE(log.size(), static_cast<size_t>(completed.size()));
  std::cout << "kills after a commit " << killedAfterCommit.size() << "\n";
  EXPECT_GE(killedAfterCommit.size(), kWantedKillsAfterCommit);
  for (const QString& text : killedAfterCommit) EXPECT_TRUE(stored.contains(text));

  // And the file is still fit for work.
  const test::OnceRun after = test::RunOnce(arguments.mid(1));
  EXPECT_EQ(after.exitCode, 0) << after.err.toStdString();
  EXPECT_EQ(db.Tqlog().size(), log.size() + 1);
}

}  // namespace
}  // namespace skyloom

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <QDir>
#include <QElapsedTimer>
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
constexpr int kMaxRuns = 600;
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
  int runs = 0;
  int kills = 0;
  int failed = 0;
  QStringList completed;
  while (runs < kMaxRuns && (kills < kWantedKills || completed.size() < 20)) {
    QProcess process;
    test::ConfigureProgram(process, arguments, {});
    process.start();
    ASSERT_TRUE(process.waitForStarted());
    if (++runs % kUnkilledEvery != 0) {
      std::this_thread::sleep_for(std::chrono::microseconds(delayUs(random)));
      process.kill();
    }
    ASSERT_TRUE(process.waitForFinished(30'000)) << "the program hung";
    if (process.exitStatus() == QProcess::CrashExit) {
      // Any other signal is a crash of the program's own, a sanitizer's abort included.
      EXPECT_EQ(process.exitCode(), SIGKILL) << process.readAllStandardError().toStdString();
      ++kills;
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
  EXPECT_GE(log.size(), static_cast<size_t>(completed.size()));
  // Every logged attempt stored its new text first, so no log row lacks its forecast.
  for (const auto& row : log) EXPECT_EQ(row.errdes, u"成功写入"_s);
  EXPECT_LE(log.size(), tq.size());

  // And the file is still fit for work.
  const test::OnceRun after = test::RunOnce(arguments.mid(1));
  EXPECT_EQ(after.exitCode, 0) << after.err.toStdString();
  EXPECT_EQ(db.Tqlog().size(), log.size() + 1);
}

}  // namespace
}  // namespace skyloom

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <iostream>
#include <vector>

#include "app/command_line.h"
#include "schedule_harness.h"

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;
using test::ScheduleHarness;

// From the windows 06:15:00-08:17:30, 09:15:00-11:17:30 and 14:15:00-17:17:30: the first tick
// inside each window finds more than 30 minute boundaries since the last fetch and fetches;
// then every 30 boundaries until the window closes, two and a half minutes after the last.
const std::vector<QTime> kTimedFetches = {
    QTime(6, 15),  QTime(6, 45),  QTime(7, 15),  QTime(7, 45),  QTime(8, 15),  QTime(9, 15),
    QTime(9, 45),  QTime(10, 15), QTime(10, 45), QTime(11, 15), QTime(14, 15), QTime(14, 45),
    QTime(15, 15), QTime(15, 45), QTime(16, 15), QTime(16, 45), QTime(17, 15)};

TEST(SimulatedDay, SeventeenTimedFetchesAtTheScheduledMinutes) {
  ScheduleHarness harness;
  harness.StartAt(QTime(0, 0, 0));

  std::vector<QTime> fetched;
  qint64 afterFirstKiB = 0;
  qint64 afterLastKiB = 0;
  for (int second = 0; second < 24 * 60 * 60; ++second) {
    const QTime t = QTime(0, 0).addSecs(second);
    if (!harness.TickAt(t)) continue;
    fetched.push_back(t);
    (fetched.size() == 1 ? afterFirstKiB : afterLastKiB) = test::ResidentKiB();
  }

  EXPECT_EQ(fetched, kTimedFetches);
  EXPECT_EQ(harness.Server().Requests(), 17);
  const auto log = harness.Db().Tqlog();
  ASSERT_EQ(log.size(), 17u);
  EXPECT_EQ(log[0].errdes, u"成功写入"_s);
  for (size_t i = 1; i < log.size(); ++i) EXPECT_EQ(log[i].errdes, u"未写入"_s);
  EXPECT_EQ(harness.Db().Tq().size(), 1u);

  std::cout << "resident memory after the first fetch " << afterFirstKiB << " KiB, after the last "
            << afterLastKiB << " KiB\n";
  RecordProperty("rss_after_first_kib", static_cast<int>(afterFirstKiB));
  RecordProperty("rss_after_last_kib", static_cast<int>(afterLastKiB));
#ifndef SKYLOOM_SANITIZED  // the sanitizer keeps freed memory in quarantine on purpose
  EXPECT_LE(afterLastKiB, afterFirstKiB * 11 / 10);
#endif
}

TEST(SimulatedDay, ARestartInsideAWindowFetchesAtTheNextMinuteBoundary) {
  ScheduleHarness harness;
  harness.StartAt(QTime(9, 0, 0));
  std::vector<QTime> before;
  for (QTime t(9, 0, 0); t < QTime(10, 0, 20); t = t.addSecs(1)) {
    if (harness.TickAt(t)) before.push_back(t);
  }
  ASSERT_EQ(before, (std::vector<QTime>{QTime(9, 15), QTime(9, 45)}));

  // The program starts again with the same database.
  harness.StartAt(QTime(10, 0, 20));
  std::vector<QTime> after;
  for (QTime t(10, 0, 20); t <= QTime(10, 31, 0); t = t.addSecs(1)) {
    if (harness.TickAt(t)) after.push_back(t);
  }

  EXPECT_EQ(after, (std::vector<QTime>{QTime(10, 1), QTime(10, 31)}));
  const auto log = harness.Db().Tqlog();
  ASSERT_EQ(log.size(), 4u);
  // The newest forecast lives in the database, so the restart stores nothing twice.
  EXPECT_EQ(log[2].errdes, u"未写入"_s);
  EXPECT_EQ(harness.Db().Tq().size(), 1u);
}

TEST(SimulatedDay, TheSettingsFilesWindowAndIntervalAreFollowed) {
  QTemporaryDir folder;
  QFile settings(folder.filePath(u"skyloom.conf"_s));
  ASSERT_TRUE(settings.open(QIODevice::WriteOnly));
  settings.write("windows = 10:00-10:35\ninterval = 10\n");
  settings.close();
  const CommandLine line = ParseCommandLine({u"--config"_s, settings.fileName()});
  ASSERT_EQ(line.mode, CommandLine::Mode::Window) << line.problem.toStdString();

  ScheduleHarness harness;
  harness.StartAt(QTime(0, 0, 0), {}, line.service.schedule);
  std::vector<QTime> fetched;
  for (int second = 0; second < 24 * 60 * 60; ++second) {
    const QTime t = QTime(0, 0).addSecs(second);
    if (harness.TickAt(t)) fetched.push_back(t);
  }

  EXPECT_EQ(fetched,
            (std::vector<QTime>{QTime(10, 0), QTime(10, 10), QTime(10, 20), QTime(10, 30)}));
  // The slot picture's slots are the same times.
  EXPECT_EQ(line.service.schedule.TimedSlots(), fetched);
}

}  // namespace
}  // namespace skyloom

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QRegularExpression>
#include <QSignalSpy>
#include <chrono>
#include <thread>

#include "collecting/collector.h"
#include "collecting/collector_service.h"
#include "collecting/sync_driver.h"
#include "store/sqlite_store.h"
#include "support/fake_clock.h"
#include "support/gb_bytes.h"
#include "support/recorded_page.h"
#include "support/refusing_port.h"
#include "support/scratch_db.h"
#include "support/test_server.h"

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

const char kPagePath[] = "/xxw/shortnb_output.asp";

QString SampleForecast() {
  return QString::fromUtf8(test::ReadTestData(u"shortnb_output.expected.txt"_s));
}

QString Texts(const std::vector<test::TqRow>& rows) {
  QStringList texts;
  for (const auto& row : rows) texts << row.tqyb.toString();
  return texts.join(u'|');
}

class CollectorTest : public testing::Test {
 protected:
  void SetUp() override {
    server.ServeBytes("/maintenance", test::ToGbBytes(u"<html><body>系统维护中</body></html>"_s));
    server.Start();
  }

  // One cycle; what it showed is kept in `shown`.
  std::optional<StoreError> Fetch(const QString& address) { return Keep(collector.Fetch(address)); }
  std::optional<StoreError> Keep(const Attempt& attempt) {
    shown << attempt.shown;
    return attempt.stored.error;
  }
  QString Page() const { return server.Url(QString::fromLatin1(kPagePath)); }
  QString Maintenance() const { return server.Url(u"/maintenance"_s); }
  QString Refused() const { return u"http://127.0.0.1:%1/xxw/page.asp"_s.arg(refusing.Port()); }

  void ExpectLastLog(const QString& errstat, qint64 errnum, const QString& errdes) {
    const auto log = db.Tqlog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().errstat, errstat);
    EXPECT_EQ(log.back().errnum, errnum);
    EXPECT_EQ(log.back().errdes, errdes);
  }

  test::TestServer server;
  test::RecordedPage sample{server, kPagePath, test::ReadTestData(u"shortnb_output.html"_s)};
  test::RefusingPort refusing;
  test::ScratchDb db;
  test::FakeClock clock{QDateTime(QDate(2026, 12, 7), QTime(17, 5, 9))};
  SqliteStore store{db.Path()};
  Collector collector{clock, store, HttpLimits{.connect = 10s, .whole = 30s}};
  QStringList shown;
};

TEST_F(CollectorTest, TheSamplePageIsShownStoredAndLogged) {
  ASSERT_EQ(Fetch(Page()), std::nullopt);

  EXPECT_EQ(shown, QStringList{SampleForecast()});
  EXPECT_EQ(Texts(db.Tq()), SampleForecast());
  EXPECT_EQ(db.Tqlog().size(), 1u);
  ExpectLastLog(u"正常获取"_s, 0, u"成功写入"_s);
  EXPECT_EQ(collector.Text(), SampleForecast());
}

TEST_F(CollectorTest, EveryRequestCarriesAStampOfItsTime) {
  const QRegularExpression target(u"^/xxw/shortnb_output\\.asp\\?rstr=([^ :-]+)$"_s);
  ASSERT_EQ(Fetch(Page()), std::nullopt);
  clock.Advance(1);
  ASSERT_EQ(Fetch(u"  "_s + Page()), std::nullopt);

  const auto targets = sample.Targets();
  ASSERT_EQ(targets.size(), 2u);
  const auto first = target.match(QString::fromStdString(targets[0]));
  const auto second = target.match(QString::fromStdString(targets[1]));
  ASSERT_TRUE(first.hasMatch()) << targets[0];
  ASSERT_TRUE(second.hasMatch()) << targets[1];
  EXPECT_NE(first.captured(1), second.captured(1));
  // The same page again is only logged.
  EXPECT_EQ(db.Tq().size(), 1u);
  ExpectLastLog(u"正常获取"_s, 0, u"未写入"_s);
}

TEST_F(CollectorTest, AFailedRequestShowsNumberAndDescriptionAndIsLogged) {
  ASSERT_EQ(Fetch(Refused()), std::nullopt);

  ASSERT_EQ(shown.size(), 1);
  const auto parts = QRegularExpression(u"^(-?\\d+)\r\n(.+)$"_s).match(shown[0]);
  ASSERT_TRUE(parts.hasMatch()) << shown[0].toStdString();
  const int number = parts.captured(1).toInt();
  EXPECT_NE(number, 0);
  EXPECT_EQ(collector.Text(), QString());
  EXPECT_TRUE(db.Tq().empty());
  ExpectLastLog(u"获取错误"_s, number, parts.captured(2));
}

// Before or after a failed request, a page without markers is a failure of its own; the box
// goes back to the last forecast.
TEST_F(CollectorTest, APageWithoutMarkersIsLoggedAsNothingExtractedAndTheBoxKeepsTheForecast) {
  for (const QString& address : {Page(), Maintenance(), Refused(), Maintenance()}) {
    ASSERT_EQ(Fetch(address), std::nullopt);
  }

  ASSERT_EQ(shown.size(), 4);
  EXPECT_EQ(shown[1], SampleForecast());
  EXPECT_EQ(shown[3], SampleForecast());
  EXPECT_EQ(collector.Text(), SampleForecast());
  EXPECT_EQ(db.Tq().size(), 1u);
  const auto log = db.Tqlog();
  ASSERT_EQ(log.size(), 4u);
  for (const size_t i : {1u, 3u}) {
    EXPECT_EQ(log[i].errstat, u"获取错误"_s);
    EXPECT_EQ(log[i].errnum, -1);
    EXPECT_EQ(log[i].errdes, u"取回空字串"_s);
  }
}

TEST_F(CollectorTest, APageWithoutMarkersAtFirstIsLoggedAsEmpty) {
  ASSERT_EQ(Fetch(Maintenance()), std::nullopt);

  EXPECT_EQ(shown, QStringList{QString()});
  EXPECT_TRUE(db.Tq().empty());
  ExpectLastLog(u"获取错误"_s, -1, u"取回空字串"_s);
}

TEST_F(CollectorTest, AGoodPageAfterAFailureIsStoredAgain) {
  ASSERT_EQ(Fetch(Page()), std::nullopt);
  ASSERT_EQ(Fetch(Refused()), std::nullopt);
  ASSERT_EQ(Fetch(Page()), std::nullopt);

  EXPECT_EQ(shown.last(), SampleForecast());
  EXPECT_EQ(db.Tq().size(), 1u);
  const auto log = db.Tqlog();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[1].errstat, u"获取错误"_s);
  ExpectLastLog(u"正常获取"_s, 0, u"未写入"_s);
}

TEST_F(CollectorTest, AStoreFailureIsReturnedAfterThePageIsShown) {
  const QString folder = db.Folder() + u"/later"_s;
  SqliteStore later(folder + u"/tqyb.mdb"_s);
  Collector elsewhere(clock, later);

  const auto error = Keep(elsewhere.Fetch(Page()));
  ASSERT_NE(error, std::nullopt);
  EXPECT_TRUE(error->message.contains(folder)) << error->message.toStdString();
  EXPECT_EQ(shown, QStringList{SampleForecast()});

  // Once the folder is there the next cycle stores as usual.
  ASSERT_TRUE(QDir().mkpath(folder));
  const Attempt attempt = elsewhere.Fetch(Page());
  ASSERT_EQ(attempt.stored.error, std::nullopt);
  EXPECT_EQ(attempt.stored.logged.description, u"成功写入"_s);
}

TEST_F(CollectorTest, ACycleOnAnotherThreadCarriesTheEventsItCommitted) {
  ASSERT_EQ(Fetch(Refused()), std::nullopt);

  Attempt attempt;
  std::thread worker([&] { attempt = collector.Fetch(Page(), /*timed=*/true); });
  worker.join();

  ASSERT_EQ(Keep(attempt), std::nullopt);
  EXPECT_TRUE(attempt.timed);
  EXPECT_EQ(attempt.finishedAt, clock.Now());
  // The refused fetch started a run of failures; this one ends it, then brings the forecast.
  ASSERT_EQ(attempt.stored.events.size(), 2u);
  const Event& recovery = attempt.stored.events[0];
  EXPECT_EQ(recovery.kind, EventKind::Recovery);
  EXPECT_EQ(recovery.failures, 1);
  const Event& forecast = attempt.stored.events[1];
  EXPECT_EQ(forecast.kind, EventKind::NewForecast);
  EXPECT_EQ(forecast.forecastId, attempt.stored.forecastId);
  EXPECT_EQ(forecast.logtime, db.Tq().back().logtime);
  EXPECT_EQ(forecast.text, SampleForecast());
  EXPECT_NE(recovery.id, forecast.id);
  // An unchanged forecast after a good attempt has nothing to tell of.
  EXPECT_TRUE(collector.Fetch(Page()).stored.events.empty());
}

// The collector deletes old attempts at its first tick of a day, on the fetches' own thread:
// a fetch asked for after it finds the deletes done, and a second tick that day deletes
// nothing more.
TEST_F(CollectorTest, OldAttemptsGoOnceADayOnTheFetchThread) {
  char* argv[] = {const_cast<char*>("test_collector"), nullptr};
  int argc = 1;
  QCoreApplication application(argc, argv);
  ServiceSettings settings{.address = Refused(), .databaseLocation = db.Path(), .standby = false};
  settings.keepAttemptsDays = 30;
  settings.schedule.windows = {};
  CollectorService service(clock, settings);
  ASSERT_FALSE(Fetch(Refused()));
  const auto addOld = [&] {
    db.Exec(
        u"INSERT INTO tqlog(logtime,errstat,errnum,errdes) VALUES('2026-10-01 08:00:00','x',0,'x')"_s);
  };
  addOld();
  QSignalSpy removed(&service, &CollectorService::rowsRemoved);
  QSignalSpy fetched(&service.Driver(), &SyncDriver::fetchFinished);
  service.Driver().Start(/*ownTimer=*/false);
  service.Driver().Tick();
  ASSERT_TRUE(removed.wait(10'000));
  EXPECT_EQ(removed.takeFirst()[0].value<RowsRemoved>().attempts, 1);

  addOld();
  service.Driver().Tick();
  ASSERT_TRUE(service.Driver().FetchNow());
  ASSERT_TRUE(fetched.wait(10'000));
  EXPECT_EQ(db.Tqlog().size(), 3U);  // the old row, the first attempt and the fetch's

  clock.Advance(86400);
  service.Driver().Tick();
  ASSERT_TRUE(removed.wait(10'000));
  EXPECT_EQ(removed.takeFirst()[0].value<RowsRemoved>().attempts, 1);
  EXPECT_EQ(db.Tqlog().size(), 2U);
}

}  // namespace
}  // namespace skyloom

#include <gtest/gtest.h>
#include <sys/file.h>

#include <QFile>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>
#include <memory>
#include <string>
#include <utility>

#include "store/open_store.h"
#include "support/fake_clock.h"
#include "support/scratch_db.h"
#include "support/test_server.h"
#include "ui/main_window.h"
#include "ui/program_icon.h"
#include "ui/tray_integration.h"

namespace skyloom {
namespace {

constexpr int kWaitMs = 30'000;

class TrayActivation
    : public testing::TestWithParam<std::pair<QSystemTrayIcon::ActivationReason, int>> {};

TEST_P(TrayActivation, OnlyAPlainClickAsksForTheWindow) {
  const auto [reason, expectedRequests] = GetParam();
  TrayIntegration tray(ProgramIcon());
  tray.ShowIcon();
  ASSERT_NE(tray.Icon(), nullptr);
  QSignalSpy requested(&tray, &TrayIntegration::activationRequested);
  emit tray.Icon()->activated(reason);
  EXPECT_EQ(requested.size(), expectedRequests);
}

std::string ReasonName(const testing::TestParamInfo<TrayActivation::ParamType>& info) {
  static const char* const names[] = {"Unknown", "Context", "DoubleClick", "Trigger",
                                      "MiddleClick"};
  return names[info.param.first];
}

INSTANTIATE_TEST_SUITE_P(Reasons, TrayActivation,
                         testing::Values(std::pair{QSystemTrayIcon::Trigger, 1},
                                         std::pair{QSystemTrayIcon::Context, 0},
                                         std::pair{QSystemTrayIcon::DoubleClick, 0},
                                         std::pair{QSystemTrayIcon::MiddleClick, 0},
                                         std::pair{QSystemTrayIcon::Unknown, 0}),
                         ReasonName);

class MinimiseTest : public testing::Test {
 protected:
  MainWindow& Open(bool trayAvailable) {
    service_ = std::make_unique<CollectorService>(
        clock_, ServiceSettings{.address = QStringLiteral("http://127.0.0.1:9/"),
                                .databaseLocation = db_.Path()});
    form_ = std::make_unique<MainWindow>(*service_);
    form_->Tray().SetAvailabilityCheck([trayAvailable] { return trayAvailable; });
    form_->show();
    return *form_;
  }

  // Icons the window has in the tray, however they were made.
  static int IconCount(MainWindow& form) {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return static_cast<int>(form.findChildren<QSystemTrayIcon*>().size());
  }

  // Lets the deferred hide run, if any is coming.
  static void Settle() {
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
  }

  test::ScratchDb db_;
  // Outside the sync windows: no timed fetch starts while the window is tested.
  test::FakeClock clock_{QDateTime(QDate(2026, 12, 7), QTime(12, 0))};
  std::unique_ptr<CollectorService> service_;
  std::unique_ptr<MainWindow> form_;
};

TEST_F(MinimiseTest, WithoutATrayTheWindowStaysMinimisedInsteadOfVanishing) {
  MainWindow& form = Open(/*trayAvailable=*/false);
  form.showMinimized();
  Settle();
  EXPECT_TRUE(form.isMinimized());
  EXPECT_TRUE(form.isVisible());
  EXPECT_EQ(IconCount(form), 0);

  form.showNormal();
  Settle();
  EXPECT_TRUE(form.isVisible());
  EXPECT_FALSE(form.isMinimized());
}

TEST_F(MinimiseTest, MinimiseHidesIntoOneIconAndAClickBringsTheWindowBack) {
  MainWindow& form = Open(/*trayAvailable=*/true);
  form.showMinimized();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !form.isVisible(); }, kWaitMs));
  QSystemTrayIcon* icon = form.Tray().Icon();
  ASSERT_NE(icon, nullptr);
  EXPECT_EQ(icon->toolTip(), QStringLiteral("Skyloom"));
  EXPECT_FALSE(icon->icon().isNull());

  // Hovering, the context button and double clicks leave it in the tray.
  for (const auto reason :
       {QSystemTrayIcon::Context, QSystemTrayIcon::DoubleClick, QSystemTrayIcon::MiddleClick}) {
    emit icon->activated(reason);
  }
  Settle();
  EXPECT_FALSE(form.isVisible());
  EXPECT_EQ(IconCount(form), 1);

  emit icon->activated(QSystemTrayIcon::Trigger);
  EXPECT_TRUE(form.isVisible());
  EXPECT_FALSE(form.isMinimized());
  EXPECT_EQ(IconCount(form), 0);
}

TEST_F(MinimiseTest, EveryMinimiseLeavesExactlyOneIcon) {
  MainWindow& form = Open(/*trayAvailable=*/true);
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    form.showMinimized();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !form.isVisible(); }, kWaitMs));
    EXPECT_EQ(IconCount(form), 1);
    emit form.Tray().Icon()->activated(QSystemTrayIcon::Trigger);
    ASSERT_TRUE(form.isVisible());
    EXPECT_EQ(IconCount(form), 0);
  }
  // Restored by other means than the icon, the next minimise still finds only its own.
  form.showMinimized();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !form.isVisible(); }, kWaitMs));
  form.showNormal();
  form.showMinimized();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !form.isVisible(); }, kWaitMs));
  EXPECT_EQ(IconCount(form), 1);
}

// Another collector on the file holds the turn (by the lock collectors take turns by): the tip
// says this one stands by, until the turn is free and it takes over.
TEST_F(MinimiseTest, TheTipSaysStandbyWhileAnotherCollectorHasTheTurn) {
  QFile other(db_.Path() + QStringLiteral(".collector-lock"));
  ASSERT_TRUE(other.open(QIODevice::WriteOnly));
  ASSERT_EQ(::flock(other.handle(), LOCK_EX | LOCK_NB), 0);
  MainWindow& form = Open(/*trayAvailable=*/true);
  service_->Start();
  form.showMinimized();
  ASSERT_TRUE(QTest::qWaitFor([&] { return form.Tray().Icon() != nullptr; }, kWaitMs));
  EXPECT_TRUE(QTest::qWaitFor(
      [&] {
        return form.Tray().Icon()->toolTip().startsWith(QStringLiteral("Skyloom\nStanding by:"));
      },
      kWaitMs));
  other.close();
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return form.Tray().Icon()->toolTip() == QStringLiteral("Skyloom"); }, kWaitMs));
}

TEST_F(MinimiseTest, MouseMovesOverTheWindowNeitherRestoreNorResize) {
  MainWindow& form = Open(/*trayAvailable=*/false);
  form.showMinimized();
  Settle();
  const QRect before = form.geometry();
  for (const int x : {512, 513, 514}) {
    QMouseEvent move(QEvent::MouseMove, QPointF(x, 10), form.mapToGlobal(QPointF(x, 10)),
                     Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&form, &move);
  }
  EXPECT_TRUE(form.isMinimized());
  EXPECT_EQ(form.geometry(), before);
}

// What the tray says after an attempt: the tip always, a notice only for a new forecast
// while the window is hidden there.
struct NoticeCase {
  const char* name;
  bool hidden;
  bool storedBefore;  // the page's forecast is already the newest stored
  bool reachable;     // the page can be fetched at all
  int notices;
  const char* tipEnd;
};

class TrayNotice : public testing::TestWithParam<NoticeCase> {
 protected:
  void SetUp() override {
    QFile page(QStringLiteral(SKYLOOM_TEST_DATA "/shortnb_output.html"));
    ASSERT_TRUE(page.open(QIODevice::ReadOnly));
    server_.ServeBytes("/page.asp", page.readAll());
    server_.Start();
  }

  void Fetch() {
    QSignalSpy finished(&form_->Driver(), &SyncDriver::fetchFinished);
    ASSERT_TRUE(form_->Driver().FetchNow());
    ASSERT_TRUE(finished.wait(kWaitMs));
  }

  test::ScratchDb db_;
  test::FakeClock clock_{QDateTime(QDate(2026, 12, 7), QTime(12, 0, 5))};
  test::TestServer server_;
  std::unique_ptr<CollectorService> service_;
  std::unique_ptr<MainWindow> form_;
};

TEST_P(TrayNotice, TipTellsTheLastAttemptAndOnlyANewForecastInTheTrayIsNoticed) {
  if (!QSystemTrayIcon::supportsMessages()) GTEST_SKIP() << "this platform takes no notices";
  const NoticeCase& c = GetParam();
  const QString address = c.reachable ? server_.Url(QStringLiteral("/page.asp"))
                                      : QStringLiteral("http://127.0.0.1:9/page.asp");
  service_ = std::make_unique<CollectorService>(
      clock_, ServiceSettings{.address = address, .databaseLocation = db_.Path()});
  form_ = std::make_unique<MainWindow>(*service_);
  form_->Tray().SetAvailabilityCheck([] { return true; });
  form_->show();
  if (c.storedBefore) Fetch();
  if (c.hidden) {
    form_->showMinimized();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !form_->isVisible(); }, kWaitMs));
  }
  QSignalSpy notices(&form_->Tray(), &TrayIntegration::noticeShown);
  Fetch();

  ASSERT_EQ(notices.size(), c.notices);
  const QStringList tip = form_->Tray().ToolTip().split(u'\n');
  ASSERT_EQ(tip.size(), 2);
  EXPECT_EQ(tip[0], QStringLiteral("Skyloom"));
  EXPECT_EQ(tip[1].left(34).toStdString(), "Last attempt 2026-12-07 12:00:05  ");
  EXPECT_TRUE(tip[1].endsWith(QString::fromUtf8(c.tipEnd))) << tip[1].toStdString();
  if (c.hidden) {
    EXPECT_EQ(form_->Tray().Icon()->toolTip(), form_->Tray().ToolTip());
  }
  if (c.notices == 0) return;

  EXPECT_TRUE(notices.first().at(0).toString().startsWith(
      QStringLiteral("市气象台今天17点钟发布：\u00a0\u00a0\u00a0今天夜里")));
  // A click on the notice brings the window back.
  emit form_->Tray().Icon()->messageClicked();
  EXPECT_TRUE(form_->isVisible());
  EXPECT_EQ(form_->Tray().Icon(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Attempts, TrayNotice,
    testing::Values(NoticeCase{"hidden_new_forecast", true, false, true, 1, "正常获取 0 成功写入"},
                    NoticeCase{"hidden_unchanged", true, true, true, 0, "正常获取 0 未写入"},
                    NoticeCase{"shown_new_forecast", false, false, true, 0, "正常获取 0 成功写入"},
                    NoticeCase{"hidden_failed_request", true, false, false, 0,
                               "Couldn't connect to server"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace skyloom

#include <gtest/gtest.h>

#include <QMouseEvent>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>
#include <memory>
#include <string>
#include <utility>

#include "platform/tray_icon.h"
#include "support/fake_clock.h"
#include "support/scratch_db.h"
#include "ui/form1.h"
#include "ui/module1.h"
#include "ui/program_icon.h"

namespace skyloom {
namespace {

constexpr int kWaitMs = 30'000;

TrayData Record(unsigned id, unsigned flags = NIF_MESSAGE | NIF_ICON | NIF_TIP) {
  TrayData data;
  data.uID = id;
  data.uFlags = flags;
  data.hIcon = ProgramIcon();
  data.szTip = QStringLiteral("Tip %1").arg(id) + QChar(u'\0') + QStringLiteral("hidden");
  return data;
}

TEST(TrayIconHost, KeepsOneIconPerIdUntilDeleted) {
  TrayIconHost host;
  EXPECT_TRUE(host.ShellNotifyIcon(NIM_ADD, Record(1)));
  EXPECT_FALSE(host.ShellNotifyIcon(NIM_ADD, Record(1)));
  EXPECT_EQ(host.IconCount(), 1);
  EXPECT_TRUE(host.ShellNotifyIcon(NIM_ADD, Record(2)));
  EXPECT_EQ(host.IconCount(), 2);

  EXPECT_TRUE(host.ShellNotifyIcon(NIM_DELETE, Record(1)));
  EXPECT_EQ(host.Icon(1), nullptr);
  EXPECT_NE(host.Icon(2), nullptr);
  EXPECT_FALSE(host.ShellNotifyIcon(NIM_DELETE, Record(1)));
  EXPECT_FALSE(host.ShellNotifyIcon(1, Record(2)));  // modify is not offered
  EXPECT_EQ(host.IconCount(), 1);
}

TEST(TrayIconHost, ShowsTheTipUpToItsNul) {
  TrayIconHost host;
  host.ShellNotifyIcon(NIM_ADD, Record(1));
  ASSERT_NE(host.Icon(1), nullptr);
  EXPECT_EQ(host.Icon(1)->toolTip(), QStringLiteral("Tip 1"));
  EXPECT_FALSE(host.Icon(1)->icon().isNull());

  host.ShellNotifyIcon(NIM_ADD, Record(2, NIF_MESSAGE));
  EXPECT_TRUE(host.Icon(2)->toolTip().isEmpty());
}

class TrayActivation
    : public testing::TestWithParam<std::pair<QSystemTrayIcon::ActivationReason, int>> {};

TEST_P(TrayActivation, OnlyAPlainClickIsReported) {
  const auto [reason, expectedClicks] = GetParam();
  TrayIconHost host;
  host.ShellNotifyIcon(NIM_ADD, Record(7));
  QSignalSpy clicked(&host, &TrayIconHost::clicked);
  emit host.Icon(7)->activated(reason);
  ASSERT_EQ(clicked.size(), expectedClicks);
  if (expectedClicks == 1) {
    EXPECT_EQ(clicked.first().at(0).toUInt(), 7u);
  }
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

TEST(TrayIconHost, ARecordWithoutMessagesReportsNothing) {
  TrayIconHost host;
  host.ShellNotifyIcon(NIM_ADD, Record(1, NIF_ICON | NIF_TIP));
  QSignalSpy clicked(&host, &TrayIconHost::clicked);
  emit host.Icon(1)->activated(QSystemTrayIcon::Trigger);
  EXPECT_TRUE(clicked.isEmpty());
}

class MinimiseTest : public testing::Test {
 protected:
  Form1& Open(bool trayAvailable) {
    form_ = std::make_unique<Form1>(clock_, db_.Path(), QStringLiteral("http://127.0.0.1:9/"),
                                    HttpLimits{});
    form_->Tray().SetAvailabilityCheck([trayAvailable] { return trayAvailable; });
    form_->show();
    return *form_;
  }

  // Lets the deferred hide run, if any is coming.
  static void Settle() {
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
  }

  test::ScratchDb db_;
  // Outside the sync windows: no timed fetch starts while the window is tested.
  test::FakeClock clock_{QDateTime(QDate(2026, 12, 7), QTime(12, 0))};
  std::unique_ptr<Form1> form_;
};

TEST_F(MinimiseTest, WithoutATrayTheWindowStaysMinimisedInsteadOfVanishing) {
  Form1& form = Open(/*trayAvailable=*/false);
  form.showMinimized();
  Settle();
  EXPECT_TRUE(form.isMinimized());
  EXPECT_TRUE(form.isVisible());
  EXPECT_EQ(form.Tray().IconCount(), 0);

  form.showNormal();
  Settle();
  EXPECT_TRUE(form.isVisible());
  EXPECT_FALSE(form.isMinimized());
}

TEST_F(MinimiseTest, MinimiseHidesIntoOneIconAndAClickBringsTheWindowBack) {
  Form1& form = Open(/*trayAvailable=*/true);
  form.showMinimized();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !form.isVisible(); }, kWaitMs));
  ASSERT_EQ(form.Tray().IconCount(), 1);
  QSystemTrayIcon* icon = form.Tray().Icon(kTrayIconId);
  ASSERT_NE(icon, nullptr);
  EXPECT_EQ(icon->toolTip(), QStringLiteral("Skyloom"));
  EXPECT_EQ(trayData.szTip.size(), kTipLength);
  EXPECT_EQ(trayData.uFlags, 7u);
  EXPECT_EQ(trayData.uCallbackMessage, 512u);
  EXPECT_EQ(trayData.hWnd, &form);

  // Hovering, the context button and double clicks leave it in the tray.
  for (const auto reason :
       {QSystemTrayIcon::Context, QSystemTrayIcon::DoubleClick, QSystemTrayIcon::MiddleClick}) {
    emit icon->activated(reason);
  }
  Settle();
  EXPECT_FALSE(form.isVisible());
  EXPECT_EQ(form.Tray().IconCount(), 1);

  emit icon->activated(QSystemTrayIcon::Trigger);
  EXPECT_TRUE(form.isVisible());
  EXPECT_FALSE(form.isMinimized());
  EXPECT_EQ(form.Tray().IconCount(), 0);
}

TEST_F(MinimiseTest, EveryMinimiseLeavesExactlyOneIcon) {
  Form1& form = Open(/*trayAvailable=*/true);
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    form.showMinimized();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !form.isVisible(); }, kWaitMs));
    EXPECT_EQ(form.Tray().IconCount(), 1);
    emit form.Tray().Icon(kTrayIconId)->activated(QSystemTrayIcon::Trigger);
    ASSERT_TRUE(form.isVisible());
    EXPECT_EQ(form.Tray().IconCount(), 0);
  }
  // Restored by other means than the icon, the next minimise still finds only its own.
  form.showMinimized();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !form.isVisible(); }, kWaitMs));
  form.showNormal();
  form.showMinimized();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !form.isVisible(); }, kWaitMs));
  EXPECT_EQ(form.Tray().IconCount(), 1);
}

TEST_F(MinimiseTest, MouseMovesOverTheWindowNeitherRestoreNorResize) {
  Form1& form = Open(/*trayAvailable=*/false);
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

}  // namespace
}  // namespace skyloom

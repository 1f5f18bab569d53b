#include <gtest/gtest.h>

#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <utility>

#include "schedule/sync_schedule.h"
#include "store/forecast_store.h"
#include "support/fake_clock.h"
#include "support/scratch_db.h"
#include "support/test_server.h"
#include "ui/form1.h"

namespace skyloom {
namespace {

using test::FakeClock;
using test::ScratchDb;
using test::TestServer;

constexpr int kWaitMs = 30'000;
const QDate kDay(2026, 12, 7);

QByteArray ReadTestFile(const char* name) {
  QFile file(QStringLiteral(SKYLOOM_TEST_DATA "/") + QLatin1String(name));
  if (!file.open(QIODevice::ReadOnly)) ADD_FAILURE() << "cannot read " << name;
  return file.readAll();
}

const QString& ExpectedForecast() {
  static const QString text = QString::fromUtf8(ReadTestFile("shortnb_output.expected.txt"));
  return text;
}

class Form1Test : public testing::Test {
 protected:
  void SetUp() override {
    const QByteArray page = ReadTestFile("shortnb_output.html");
    server_.ServeBytes("/xxw/shortnb_output.asp", page);
    server_.ServeBytes("/edited/page.asp", page);
    server_.Http().Get("/slow", [this](const httplib::Request&, httplib::Response& response) {
      while (!release_ && !server_.Stopping()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      static constexpr char kBody[] = "<html></html>";
      response.set_content(kBody, sizeof kBody - 1, "text/html");
    });
    server_.Start();
  }

  // Outside the sync windows unless a test says otherwise, so only Get fetches.
  Form1& Open(const QTime& start = QTime(12, 0), QString databasePath = {}) {
    clock_.Set(QDateTime(kDay, start));
    if (databasePath.isEmpty()) databasePath = db_.Path();
    form_ = std::make_unique<Form1>(
        clock_, databasePath, server_.Url(QStringLiteral("/xxw/shortnb_output.asp")), HttpLimits{});
    return *form_;
  }

  template <typename Control>
  Control* Find(const char* name) {
    auto* control = form_->findChild<Control*>(QLatin1String(name));
    EXPECT_NE(control, nullptr) << name;
    return control;
  }

  QString Result() { return Find<QPlainTextEdit>("txtHTML")->toPlainText(); }

  // Clicks Get and waits until that fetch has been shown, stored and logged.
  void GetAndWait() {
    QSignalSpy finished(&form_->Timer1(), &SyncDriver::fetchFinished);
    QTest::mouseClick(Find<QPushButton>("cmdGet"), Qt::LeftButton);
    ASSERT_TRUE(finished.wait(kWaitMs));
  }

  ScratchDb db_;
  FakeClock clock_;
  TestServer server_;
  std::atomic<bool> release_{false};
  // Declared last: closed before the server and the database go.
  std::unique_ptr<Form1> form_;
};

TEST_F(Form1Test, StartsWithVersionCaptionLockedAddressAndEmptyBoxes) {
  Form1& form = Open();
  EXPECT_EQ(form.windowTitle(), QStringLiteral("Skyloom Version 1.5.3"));
  auto* address = Find<QLineEdit>("txtAddress");
  EXPECT_FALSE(address->isEnabled());
  EXPECT_EQ(address->text(), server_.Url(QStringLiteral("/xxw/shortnb_output.asp")));
  EXPECT_TRUE(Result().isEmpty());
  EXPECT_TRUE(Find<QLabel>("syntime")->text().isEmpty());
  EXPECT_EQ(form.State().LastSync, QDateTime(kDay, QTime(11, 31)));

  auto* clockLabel = Find<QLabel>("Clock");
  EXPECT_TRUE(clockLabel->text().isEmpty());
  form.Timer1().Tick();
  EXPECT_EQ(clockLabel->text(), NowText(QDateTime(kDay, QTime(12, 0))));
  EXPECT_EQ(server_.Requests(), 0);

  // The icon comes from the compiled-in resources.
  EXPECT_FALSE(form.windowIcon().isNull());
  auto* picture = Find<QLabel>("pic_icon");
  EXPECT_FALSE(picture->isVisibleTo(&form));
  EXPECT_FALSE(picture->pixmap().isNull());
}

TEST_F(Form1Test, ControlsSitWhereTheTwipsLayoutPutsThem) {
  Form1& form = Open();
  EXPECT_EQ(form.size(), QSize(544, 177));
  EXPECT_EQ(form.minimumSize(), form.maximumSize());

  struct Placement {
    const char* name;
    const char* container;
    QRect pixels;
  };
  const Placement placements[] = {
      {"txtHTML", "", QRect(8, 72, 529, 73)},          {"Frame1", "", QRect(8, 8, 529, 55)},
      {"txtAddress", "Frame1", QRect(9, 16, 351, 25)}, {"cmdGet", "Frame1", QRect(368, 16, 41, 25)},
      {"Command1", "Frame1", QRect(472, 16, 49, 25)},  {"Clock", "", QRect(283, 144, 254, 29)},
      {"syntime", "", QRect(8, 152, 233, 17)},         {"pic_icon", "", QRect(392, 88, 57, 49)},
      {"cmdUnlock", "Frame1", QRect(416, 16, 49, 25)},
  };
  for (const Placement& p : placements) {
    SCOPED_TRACE(p.name);
    auto* control = Find<QWidget>(p.name);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->geometry(), p.pixels);
    const QWidget* parent = control->parentWidget();
    EXPECT_EQ(parent == &form ? QString() : parent->objectName(), QLatin1String(p.container));
  }
  EXPECT_EQ(Find<QGroupBox>("Frame1")->title(), QStringLiteral("From"));
  const std::pair<const char*, const char*> captions[] = {
      {"cmdGet", "Get"}, {"Command1", "Clear"}, {"cmdUnlock", "UnLock"}};
  for (const auto& [name, caption] : captions) {
    EXPECT_EQ(Find<QPushButton>(name)->text(), QLatin1String(caption));
  }

  auto* result = Find<QPlainTextEdit>("txtHTML");
  EXPECT_EQ(result->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  EXPECT_EQ(result->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);

  auto* clockLabel = Find<QLabel>("Clock");
  EXPECT_EQ(clockLabel->font().pointSize(), 18);
  EXPECT_EQ(clockLabel->font().weight(), QFont::Normal);
  EXPECT_EQ(clockLabel->palette().color(QPalette::WindowText), QColor(0, 0, 128));
}

TEST_F(Form1Test, TabVisitsResultAddressGetClearThenUnlock) {
  Open();
  const QStringList controls = {"txtHTML", "txtAddress", "cmdGet",  "Command1", "cmdUnlock",
                                "Frame1",  "Clock",      "syntime", "pic_icon"};
  QStringList visited;
  QWidget* const first = Find<QWidget>("txtHTML");
  QWidget* widget = first;
  do {
    if (controls.contains(widget->objectName()) && (widget->focusPolicy() & Qt::TabFocus)) {
      visited << widget->objectName();
    }
    widget = widget->nextInFocusChain();
  } while (widget != first && visited.size() < 20);
  EXPECT_EQ(visited, QStringList({"txtHTML", "txtAddress", "cmdGet", "Command1", "cmdUnlock"}));
}

TEST_F(Form1Test, UnlockedAddressIsUsedByGetAndStaysEditable) {
  Form1& form = Open();
  auto* address = Find<QLineEdit>("txtAddress");
  QTest::mouseClick(Find<QPushButton>("cmdUnlock"), Qt::LeftButton);
  ASSERT_TRUE(address->isEnabled());
  address->setText(server_.Url(QStringLiteral("/edited/page.asp")));

  GetAndWait();
  EXPECT_EQ(server_.Requests(), 1);
  EXPECT_TRUE(QString::fromStdString(server_.LastTarget()).startsWith("/edited/page.asp?rstr="))
      << server_.LastTarget();
  EXPECT_EQ(Result(), ExpectedForecast());
  // Only a timed fetch locks the box and records the last sync.
  EXPECT_TRUE(address->isEnabled());
  EXPECT_TRUE(Find<QLabel>("syntime")->text().isEmpty());
  EXPECT_EQ(form.State().LastSync, QDateTime(kDay, QTime(11, 31)));
  ASSERT_EQ(db_.Tq().size(), 1u);
}

TEST_F(Form1Test, ClearEmptiesOnlyTheResultBox) {
  Form1& form = Open();
  GetAndWait();
  ASSERT_EQ(Result(), ExpectedForecast());

  QTest::mouseClick(Find<QPushButton>("Command1"), Qt::LeftButton);
  EXPECT_TRUE(Result().isEmpty());
  EXPECT_EQ(form.State().ForecastText, ExpectedForecast());
  EXPECT_EQ(Find<QLineEdit>("txtAddress")->text(),
            server_.Url(QStringLiteral("/xxw/shortnb_output.asp")));

  // The store still compares with the newest row, not with the box.
  GetAndWait();
  EXPECT_EQ(db_.Tq().size(), 1u);
  const auto log = db_.Tqlog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].errdes, kWritten);
  EXPECT_EQ(log[1].errdes, kNotWritten);
}

TEST_F(Form1Test, StoreErrorIsShownAndTheWindowStaysUsable) {
  const QString unreachable = db_.Folder() + QStringLiteral("/missing/tqyb.mdb");
  Open(QTime(12, 0), unreachable);
  GetAndWait();
  EXPECT_TRUE(Result().contains(unreachable)) << Result().toStdString();
  EXPECT_TRUE(Find<QPushButton>("cmdGet")->isEnabled());

  GetAndWait();
  EXPECT_EQ(server_.Requests(), 2);
  EXPECT_TRUE(Result().contains(unreachable));
}

TEST_F(Form1Test, GetIsDisabledWhileAFetchRuns) {
  Form1& form = Open();
  Find<QLineEdit>("txtAddress")->setText(server_.Url(QStringLiteral("/slow")));
  auto* get = Find<QPushButton>("cmdGet");
  QSignalSpy finished(&form.Timer1(), &SyncDriver::fetchFinished);

  QTest::mouseClick(get, Qt::LeftButton);
  EXPECT_FALSE(get->isEnabled());
  ASSERT_TRUE(QTest::qWaitFor([this] { return server_.Requests() == 1; }, kWaitMs));
  QCoreApplication::processEvents();
  EXPECT_FALSE(get->isEnabled());
  EXPECT_TRUE(finished.isEmpty());

  release_ = true;
  ASSERT_TRUE(finished.wait(kWaitMs));
  EXPECT_TRUE(get->isEnabled());
  EXPECT_EQ(server_.Requests(), 1);
}

TEST_F(Form1Test, TimedTickFetchesRecordsTheSyncAndRelocksTheAddress) {
  // LastSync starts at 06:31:00.
  Form1& form = Open(QTime(7, 0));
  QTest::mouseClick(Find<QPushButton>("cmdUnlock"), Qt::LeftButton);
  QSignalSpy started(&form.Timer1(), &SyncDriver::fetchStarted);
  QSignalSpy finished(&form.Timer1(), &SyncDriver::fetchFinished);

  clock_.Set(QDateTime(kDay, QTime(7, 0, 59)));
  form.Timer1().Tick();
  EXPECT_TRUE(started.isEmpty());
  EXPECT_TRUE(Find<QLineEdit>("txtAddress")->isEnabled());

  clock_.Set(QDateTime(kDay, QTime(7, 1)));
  form.Timer1().Tick();
  EXPECT_EQ(started.size(), 1);
  ASSERT_TRUE(finished.wait(kWaitMs));
  EXPECT_TRUE(finished.first().at(0).toBool());
  EXPECT_EQ(Find<QLabel>("syntime")->text(), kLastSyncPrefix + NowText(clock_.Now()));
  EXPECT_FALSE(Find<QLineEdit>("txtAddress")->isEnabled());
  EXPECT_EQ(Result(), ExpectedForecast());
  EXPECT_EQ(form.State().LastSync, QDateTime(kDay, QTime(7, 1)));
  EXPECT_EQ(server_.Requests(), 1);
}

}  // namespace
}  // namespace skyloom

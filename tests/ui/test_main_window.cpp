#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <functional>
#include <iostream>
#include <memory>
#include <thread>
#include <utility>

#include "collecting/collector.h"
#include "platform/pg_connection.h"
#include "schedule/sync_schedule.h"
#include "store/forecast_store.h"
#include "store/open_store.h"
#include "support/fake_clock.h"
#include "support/pg_server.h"
#include "support/scratch_db.h"
#include "support/test_database.h"
#include "support/test_server.h"
#include "ui/history_window.h"
#include "ui/main_window.h"
#include "ui/slot_picture.h"

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

class MainWindowTest : public testing::Test {
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
  MainWindow& Open(const QTime& start = QTime(12, 0), QString databasePath = {},
                   PgLimits databaseLimits = {}) {
    clock_.Set(QDateTime(kDay, start));
    if (databasePath.isEmpty()) databasePath = db_.Path();
    service_ = std::make_unique<CollectorService>(
        clock_, ServiceSettings{.address = server_.Url(QStringLiteral("/xxw/shortnb_output.asp")),
                                .databaseLocation = databasePath,
                                .databaseLimits = databaseLimits});
    form_ = std::make_unique<MainWindow>(*service_);
    service_->Start();
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
    QSignalSpy finished(&form_->Driver(), &SyncDriver::fetchFinished);
    QTest::mouseClick(Find<QPushButton>("cmdGet"), Qt::LeftButton);
    ASSERT_TRUE(finished.wait(kWaitMs));
  }

  ScratchDb db_;
  FakeClock clock_;
  TestServer server_;
  std::atomic<bool> release_{false};
  // Declared last: stopped before the server and the database go, the window first.
  std::unique_ptr<CollectorService> service_;
  std::unique_ptr<MainWindow> form_;
};

TEST_F(MainWindowTest, StartsWithVersionCaptionLockedAddressAndEmptyBoxes) {
  MainWindow& form = Open();
  EXPECT_EQ(form.windowTitle(), QStringLiteral("Skyloom Version 1.5.3"));
  auto* address = Find<QLineEdit>("txtAddress");
  EXPECT_FALSE(address->isEnabled());
  EXPECT_EQ(address->text(), server_.Url(QStringLiteral("/xxw/shortnb_output.asp")));
  EXPECT_TRUE(Result().isEmpty());
  EXPECT_TRUE(Find<QLabel>("syntime")->text().isEmpty());
  EXPECT_EQ(form.Driver().LastSync(), QDateTime(kDay, QTime(11, 31)));

  auto* clockLabel = Find<QLabel>("Clock");
  EXPECT_TRUE(clockLabel->text().isEmpty());
  form.Driver().Tick();
  EXPECT_EQ(clockLabel->text(), NowText(QDateTime(kDay, QTime(12, 0))));
  EXPECT_EQ(server_.Requests(), 0);

  // The icon comes from the compiled-in resources.
  EXPECT_FALSE(form.windowIcon().isNull());
  auto* picture = Find<QLabel>("pic_icon");
  EXPECT_FALSE(picture->isVisibleTo(&form));
  EXPECT_FALSE(picture->pixmap().isNull());

  // The captions read the same in every language; ours follow LANGUAGE.
  form.OpenHistory();
  QStringList shown{Find<QGroupBox>("Frame1")->title()};
  for (const char* name : {"cmdGet", "cmdUnlock", "Command1", "cmdHistory"})
    shown << Find<QPushButton>(name)->text();
  shown << form.History()->windowTitle()
        << form.History()->findChild<QTabWidget*>(QStringLiteral("tabHistory"))->tabText(1)
        << SlotPicture::NameOf(SlotState::NothingExtracted);
  EXPECT_EQ(shown.join(u'|').toStdString(),
            qEnvironmentVariable("LANGUAGE").startsWith(u"zh")
                ? "From|Get|UnLock|Clear|历史|Skyloom 历史记录|获取记录|未提取到预报"
                : "From|Get|UnLock|Clear|History|Skyloom History|Attempts|Nothing extracted");
}

// The drawn size with the usual type; larger type or a CJK face grows the window instead of
// cutting anything off.
struct FontCase {
  const char* name;
  qreal scale;
  const char* family;  // empty: the usual one
};

class MainWindowFonts : public MainWindowTest, public testing::WithParamInterface<FontCase> {
 protected:
  void SetUp() override {
    MainWindowTest::SetUp();
    usual_ = QApplication::font();
    QFont font = usual_;
    font.setPointSizeF(usual_.pointSizeF() * GetParam().scale);
    if (*GetParam().family) font.setFamilies({QString::fromLatin1(GetParam().family)});
    QApplication::setFont(font);
  }
  void TearDown() override {
    form_.reset();
    QApplication::setFont(usual_);
    MainWindowTest::TearDown();
  }
  QFont usual_;
};

TEST_P(MainWindowFonts, EveryControlShowsWholeInsideTheWindow) {
  MainWindow& form = Open();
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  // A timed fetch's text in the last-sync line, as wide as it gets.
  emit form.Driver().lastSyncChanged(QDateTime(QDate(2026, 12, 28), QTime(23, 58, 58)));
  form.Driver().Tick();
  QCoreApplication::processEvents();
  if (GetParam().scale == 1.0 && !*GetParam().family) {
    EXPECT_EQ(form.size(), QSize(544, 177));
  } else {
    EXPECT_GE(form.width(), 544);
    EXPECT_GE(form.height(), 177);
  }
  EXPECT_EQ(form.minimumSize(), form.maximumSize());
  EXPECT_EQ(Find<QGroupBox>("Frame1")->title(), QStringLiteral("From"));

  const QStringList shown = {"txtHTML",   "Frame1",     "txtAddress", "cmdGet", "Command1",
                             "cmdUnlock", "cmdHistory", "Clock",      "syntime"};
  for (const QString& name : shown) {
    SCOPED_TRACE(name.toStdString());
    auto* control = Find<QWidget>(name.toLatin1().constData());
    ASSERT_NE(control, nullptr);
    EXPECT_TRUE(control->isVisible());
    EXPECT_TRUE(control->parentWidget()->rect().contains(control->geometry()));
    const QRect inWindow(control->mapTo(&form, QPoint(0, 0)), control->size());
    EXPECT_TRUE(form.rect().contains(inWindow));
    if (auto* label = qobject_cast<QLabel*>(control)) {
      EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->width());
      EXPECT_LE(label->fontMetrics().height(), label->height());
    }
  }
  const std::pair<const char*, const char*> captions[] = {
      {"cmdGet", "Get"}, {"Command1", "Clear"}, {"cmdUnlock", "UnLock"}, {"cmdHistory", "History"}};
  for (const auto& [name, caption] : captions) {
    auto* button = Find<QPushButton>(name);
    EXPECT_EQ(button->text(), QLatin1String(caption));
    EXPECT_LE(button->fontMetrics().horizontalAdvance(button->text()),
              button->contentsRect().width())
        << name;
    EXPECT_LE(button->fontMetrics().height(), button->height()) << name;
  }
  // Four lines of the forecast, as the drawn box holds.
  auto* result = Find<QPlainTextEdit>("txtHTML");
  EXPECT_GE(result->viewport()->height(), 4 * result->fontMetrics().lineSpacing());
}

INSTANTIATE_TEST_SUITE_P(Fonts, MainWindowFonts,
                         testing::Values(FontCase{"usual", 1.0, ""}, FontCase{"larger", 1.6, ""},
                                         FontCase{"largest", 2.5, ""},
                                         FontCase{"cjk", 1.0, "WenQuanYi Micro Hei"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(MainWindowTest, TabWalksResultAddressGetClearHistoryThenUnlock) {
  MainWindow& form = Open();
  QTest::mouseClick(Find<QPushButton>("cmdUnlock"), Qt::LeftButton);  // a locked address is skipped
  form.show();
  form.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
  Find<QWidget>("txtHTML")->setFocus();
  QStringList visited;
  for (int i = 0; i < 7; ++i) {
    visited << QApplication::focusWidget()->objectName();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  }
  EXPECT_EQ(visited, QStringList({"txtHTML", "txtAddress", "cmdGet", "Command1", "cmdHistory",
                                  "cmdUnlock", "txtHTML"}));
}

TEST_F(MainWindowTest, UnlockedAddressIsUsedByGetAndStaysEditable) {
  MainWindow& form = Open();
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
  EXPECT_EQ(form.Driver().LastSync(), QDateTime(kDay, QTime(11, 31)));
  ASSERT_EQ(db_.Tq().size(), 1u);
}

TEST_F(MainWindowTest, ClearEmptiesOnlyTheResultBox) {
  MainWindow& form = Open();
  GetAndWait();
  ASSERT_EQ(Result(), ExpectedForecast());

  QTest::mouseClick(Find<QPushButton>("Command1"), Qt::LeftButton);
  EXPECT_TRUE(Result().isEmpty());
  EXPECT_EQ(form.collector().Text(), ExpectedForecast());
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

TEST_F(MainWindowTest, StoreErrorIsShownAndTheWindowStaysUsable) {
  const QString unreachable = db_.Folder() + QStringLiteral("/missing/tqyb.mdb");
  Open(QTime(12, 0), unreachable);
  GetAndWait();
  EXPECT_TRUE(Result().contains(unreachable)) << Result().toStdString();
  EXPECT_TRUE(Find<QPushButton>("cmdGet")->isEnabled());

  GetAndWait();
  EXPECT_EQ(server_.Requests(), 2);
  EXPECT_TRUE(Result().contains(unreachable));
}

TEST_F(MainWindowTest, GetIsDisabledWhileAFetchRuns) {
  MainWindow& form = Open();
  Find<QLineEdit>("txtAddress")->setText(server_.Url(QStringLiteral("/slow")));
  auto* get = Find<QPushButton>("cmdGet");
  QSignalSpy finished(&form.Driver(), &SyncDriver::fetchFinished);

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

TEST_F(MainWindowTest, TimedTickFetchesRecordsTheSyncAndRelocksTheAddress) {
  // LastSync starts at 06:31:00.
  MainWindow& form = Open(QTime(7, 0));
  QTest::mouseClick(Find<QPushButton>("cmdUnlock"), Qt::LeftButton);
  QSignalSpy started(&form.Driver(), &SyncDriver::fetchStarted);
  QSignalSpy finished(&form.Driver(), &SyncDriver::fetchFinished);

  clock_.Set(QDateTime(kDay, QTime(7, 0, 59)));
  form.Driver().Tick();
  EXPECT_TRUE(started.isEmpty());
  EXPECT_TRUE(Find<QLineEdit>("txtAddress")->isEnabled());

  clock_.Set(QDateTime(kDay, QTime(7, 1)));
  form.Driver().Tick();
  // It starts once the group of collectors on the file has said it is this one's turn.
  ASSERT_TRUE(QTest::qWaitFor([&] { return !started.isEmpty(); }, kWaitMs));
  EXPECT_EQ(started.size(), 1);
  ASSERT_TRUE(finished.wait(kWaitMs));
  EXPECT_TRUE(finished.first().at(0).value<Attempt>().timed);
  EXPECT_EQ(Find<QLabel>("syntime")->text(), kLastSyncPrefix + NowText(clock_.Now()));
  EXPECT_FALSE(Find<QLineEdit>("txtAddress")->isEnabled());
  EXPECT_EQ(Result(), ExpectedForecast());
  EXPECT_EQ(form.Driver().LastSync(), QDateTime(kDay, QTime(7, 1)));
  EXPECT_EQ(server_.Requests(), 1);
}

// Ways a PostgreSQL database stops answering while the window waits for it.
struct Hang {
  const char* name;
  // Makes `db` stop answering; what it returns makes it answer again.
  std::function<std::function<void()>(const test::TestDatabase& db)> begin;
};

void PrintTo(const Hang& hang, std::ostream* out) { *out << hang.name; }

const Hang kHangs[] = {
    {"table_locked_by_another_session",
     [](const test::TestDatabase& db) -> std::function<void()> {
       auto session = std::make_shared<PgConnection>();
       EXPECT_TRUE(session->Open(db.Location(), std::chrono::seconds(5), {}));
       EXPECT_TRUE(session->Execute("BEGIN; LOCK TABLE tq IN ACCESS EXCLUSIVE MODE"));
       return [session]() mutable { session.reset(); };
     }},
    {"server_frozen",
     [](const test::TestDatabase&) -> std::function<void()> {
       test::SharedPgServer().Freeze();
       return [] { test::SharedPgServer().Thaw(); };
     }},
};

class WindowWhileTheDatabaseHangs : public MainWindowTest,
                                    public testing::WithParamInterface<Hang> {};

// The attempt waits on a thread of its own: the event loop runs on, the window answers, and
// the attempt ends as a shown store error within the database limit and a little more. Quitting
// while the next one hangs ends within a few seconds, and the database works on afterwards.
TEST_P(WindowWhileTheDatabaseHangs, TheWindowAnswersAndTheAttemptEndsAsAStoreError) {
  constexpr int kStatementMs = 2000;
  const auto db = test::MakeTestDatabase(test::Backend::Postgres);
  // Made as --init-db makes them, so that the first attempt under these short limits is only
  // the attempt.
  ASSERT_TRUE(OpenStore(db->Location())->CreateTables());
  Open(QTime(12, 0), db->Location(),
       PgLimits{std::chrono::milliseconds(kStatementMs), std::chrono::milliseconds(kStatementMs)});
  GetAndWait();  // a session is open and the forecast stored
  ASSERT_EQ(db->Tq().size(), 1u);

  std::function<void()> release = GetParam().begin(*db);
  QTimer ticker;
  QElapsedTimer sinceTick;
  qint64 longestGap = 0;
  int ticks = 0;
  ticker.setInterval(20);
  QObject::connect(&ticker, &QTimer::timeout, [&] {
    longestGap = std::max(longestGap, sinceTick.restart());
    ++ticks;
  });
  QSignalSpy finished(&form_->Driver(), &SyncDriver::fetchFinished);
  auto* get = Find<QPushButton>("cmdGet");
  sinceTick.start();
  ticker.start();
  QTest::mouseClick(get, Qt::LeftButton);
  QTest::mouseClick(Find<QPushButton>("Command1"), Qt::LeftButton);
  EXPECT_TRUE(Result().isEmpty());
  EXPECT_FALSE(get->isEnabled());

  const bool ended = finished.wait(kStatementMs + 5000);
  ticker.stop();
  std::cout << "longest wait of the event loop: " << longestGap << " ms, " << ticks << " ticks\n";
  if (!ended) release();
  ASSERT_TRUE(ended) << "the attempt did not end within the database limit";
  const Attempt attempt = finished[0][0].value<Attempt>();
  ASSERT_TRUE(attempt.stored.error.has_value());
  EXPECT_EQ(Result(), attempt.stored.error->message);
  EXPECT_TRUE(get->isEnabled());
  // A blocked loop would have ticked once or twice in all that time.
  EXPECT_GT(ticks, kStatementMs / 20 / 4);

  QTest::mouseClick(get, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return server_.Requests() == 3; }, kWaitMs));
  QElapsedTimer quitting;
  quitting.start();
  form_.reset();
  service_.reset();
  EXPECT_LT(quitting.elapsed(), 10'000);
  release();

  // Nothing committed was lost, and a new collector stores again.
  Open(QTime(12, 0), db->Location());
  GetAndWait();
  EXPECT_EQ(db->Tq().size(), 1u);
  EXPECT_EQ(db->Tqlog().front().errdes, kWritten);
  EXPECT_EQ(db->Tqlog().back().errdes, kNotWritten);
}

INSTANTIATE_TEST_SUITE_P(Postgres, WindowWhileTheDatabaseHangs, testing::ValuesIn(kHangs),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace skyloom

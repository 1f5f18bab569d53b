#include <gtest/gtest.h>

#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTableView>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>
#include <QTimer>
#include <QTreeWidget>
#include <chrono>
#include <memory>

#include "collecting/collector_service.h"
#include "store/open_store.h"
#include "support/fake_clock.h"
#include "support/pg_server.h"
#include "support/test_database.h"
#include "support/test_server.h"
#include "ui/history_models.h"
#include "ui/history_window.h"
#include "ui/main_window.h"
#include "ui/slot_picture.h"

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;

constexpr int kWaitMs = 30'000;
const QDateTime kNow(QDate(2026, 12, 7), QTime(12, 0, 5));

// Rows as another collector writes them, `count` of each, a minute apart, oldest first.
QString RowsSql(int count) {
  QStringList forecasts;
  QStringList attempts;
  for (int i = 0; i < count; ++i) {
    const QString at = kNow.addSecs(60 * (i - count)).toString(u"yyyy-MM-dd HH:mm:ss"_s);
    forecasts << u"('%1', '第%2条')"_s.arg(at).arg(i);
    attempts << u"('%1', '正常获取', 0, '未写入 %2')"_s.arg(at).arg(i);
  }
  return u"INSERT INTO tq(logtime, tqyb) VALUES "_s + forecasts.join(u',') + u';' +
         u"INSERT INTO tqlog(logtime, errstat, errnum, errdes) VALUES "_s + attempts.join(u',');
}

void WriteRows(const test::TestDatabase& db, int count) { db.Exec(RowsSql(count)); }

class HistoryPaging : public testing::TestWithParam<test::Backend> {
 protected:
  std::unique_ptr<test::TestDatabase> db = test::MakeTestDatabase(GetParam());
  std::unique_ptr<ForecastStore> store = OpenStore(db->Location());
  test::FakeClock clock{kNow};
};

// 250 rows each: a page shows at first, each scroll to the end reads the next, newest first
// throughout, none twice.
TEST_P(HistoryPaging, BothListsReadNewestFirstAPageAtATimeAsTheyScroll) {
  ASSERT_TRUE(store->CreateTables());
  WriteRows(*db, 250);
  HistoryWindow window(db->Location(), PgLimits{}, clock);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  // Rows come from the window's reader thread, after it has shown.
  ASSERT_TRUE(QTest::qWaitFor([&] { return window.Attempts().rowCount() == 100; }, kWaitMs));

  const auto scrollToEnd = [&](const char* tab, const char* list, const QAbstractItemModel& model) {
    window.findChild<QTabWidget*>(u"tabHistory"_s)
        ->setCurrentWidget(window.findChild<QWidget*>(QLatin1String(tab)));
    auto* view = window.findChild<QTableView*>(QLatin1String(list));
    std::vector<int> counts{model.rowCount()};
    while (model.canFetchMore({})) {
      view->scrollToBottom();
      const int before = model.rowCount();
      (void)QTest::qWaitFor([&] { return model.rowCount() != before; }, 2000);
      counts.push_back(model.rowCount());
      if (counts.back() == counts[counts.size() - 2]) break;  // the view stopped asking
    }
    return counts;
  };
  EXPECT_EQ(scrollToEnd("tabForecasts", "lstForecasts", window.Forecasts()),
            (std::vector<int>{100, 200, 250}));
  EXPECT_EQ(scrollToEnd("tabAttempts", "lstAttempts", window.Attempts()),
            (std::vector<int>{100, 200, 250}));

  for (int row = 0; row < 250; ++row) {
    ASSERT_EQ(window.Forecasts().Row(row).text, u"第%1条"_s.arg(249 - row)) << row;
    ASSERT_EQ(window.Attempts().Row(row).description, u"未写入 %1"_s.arg(249 - row)) << row;
  }
  EXPECT_EQ(window.Attempts().Row(0).logtime, u"2026-12-07 11:59:05"_s);
  // The slot picture reads the same log by time: 08:15 of today holds the row of 08:15:05.
  const SlotGrid& grid = window.findChild<SlotPicture*>()->Grid();
  ASSERT_TRUE(QTest::qWaitFor([&] { return grid.days == kSlotPictureDays; }, kWaitMs));
  const SlotCell& cell = grid.At(kSlotPictureDays - 1, 4);
  ASSERT_EQ(cell.start, QDateTime(kNow.date(), QTime(8, 15)));
  EXPECT_EQ(cell.state, SlotState::Unchanged);
  EXPECT_EQ(cell.attempt->logtime, u"2026-12-07 08:15:05"_s);
}

INSTANTIATE_TEST_SUITE_P(Backends, HistoryPaging,
                         testing::Values(test::Backend::Sqlite, test::Backend::Postgres),
                         [](const auto& info) { return test::BackendName(info.param); });

// The forecast text with its marks spelled out: [-deleted-] and {+inserted+}.
QString Marked(const QTextEdit& text) {
  QString marked;
  for (QTextBlock block = text.document()->begin(); block.isValid(); block = block.next()) {
    for (auto fragment = block.begin(); !fragment.atEnd(); ++fragment) {
      const QTextCharFormat format = fragment.fragment().charFormat();
      const QString part = fragment.fragment().text();
      marked += format.fontStrikeOut()   ? u"[-"_s + part + u"-]"_s
                : format.fontUnderline() ? u"{+"_s + part + u"+}"_s
                                         : part;
    }
  }
  return marked;
}

struct DiffCase {
  const char* name;
  std::vector<QString> stored;  // oldest first
  QString marked;               // the newest, as selected
  QString listed = {};          // the newest in the list, when not just as stored
  QString fields = {};          // under it, a line per row: its columns joined by "|"
};
void PrintTo(const DiffCase& diff, std::ostream* out) { *out << diff.name; }

class HistoryDiff : public testing::TestWithParam<DiffCase> {};

TEST_P(HistoryDiff, SelectingAForecastMarksWhatChangedSinceTheOneBefore) {
  const auto db = test::MakeTestDatabase(test::Backend::Sqlite);
  const auto store = OpenStore(db->Location());
  ASSERT_TRUE(store->CreateTables());
  for (const QString& text : GetParam().stored) {
    db->Exec(u"INSERT INTO tq(logtime, tqyb) VALUES ('2026-12-07 06:15:02', '%1')"_s.arg(text));
  }
  const test::FakeClock clock{kNow};
  HistoryWindow window(db->Location(), PgLimits{}, clock);
  window.show();

  // The newest is selected on opening.
  auto* list = window.findChild<QTableView*>(u"lstForecasts"_s);
  const auto* text = window.findChild<QTextEdit*>(u"txtForecast"_s);
  // The checks below say what was missing when the wait ran out.
  (void)QTest::qWaitFor([&] { return Marked(*text) == GetParam().marked; }, kWaitMs);
  ASSERT_EQ(list->currentIndex().row(), 0);
  EXPECT_EQ(Marked(*text), GetParam().marked);
  const QString listed = GetParam().listed.isEmpty() ? GetParam().stored.back() : GetParam().listed;
  EXPECT_EQ(list->model()->index(0, ForecastListModel::kTextColumn).data().toString(), listed);
  auto* fields = window.findChild<QTreeWidget*>(u"treeFields"_s);
  QStringList rows;
  for (QTreeWidgetItemIterator item(fields); *item; ++item) {
    QStringList columns;
    for (int c = 0; c < fields->columnCount(); ++c) columns << (*item)->text(c);
    rows << columns.join(u'|');
  }
  EXPECT_EQ(rows.join(u'\n'), GetParam().fields);
  EXPECT_EQ(fields->isVisibleTo(&window), !GetParam().fields.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Texts, HistoryDiff,
                         testing::Values(DiffCase{"insertion",
                                                  {u"今天白天：阴。"_s, u"今天白天：阴转多云。"_s},
                                                  u"今天白天：阴{+转多云+}。"_s},
                                         DiffCase{"deletion",
                                                  {u"东北风4到5级，阵风6级。"_s, u"东北风4级。"_s},
                                                  u"东北风4[-到5级，阵风6-]级。"_s},
                                         DiffCase{"replacement",
                                                  {u"最低温度：8℃。"_s, u"最低温度：5℃。"_s},
                                                  u"最低温度：[-8-]{+5+}℃。"_s},
                                         DiffCase{
                                             "identical", {u"多云。"_s, u"多云。"_s}, u"多云。"_s},
                                         DiffCase{"first_forecast", {u"晴。"_s}, u"晴。"_s},
                                         DiffCase{"entity_spaces",
                                                  {u"阴&nbsp;&nbsp;晴"_s, u"阴&nbsp;晴"_s},
                                                  u"阴\u00a0[-\u00a0-]晴"_s,
                                                  u"阴\u00a0晴"_s},
                                         DiffCase{"fields",
                                                  {u"台6点钟发布：今天：阴，北风3级。"
                                                   "明天最低温度：零下2℃。"_s},
                                                  u"台6点钟发布：今天：阴，北风3级。"
                                                  "明天最低温度：零下2℃。"_s,
                                                  {},
                                                  u"台, issued at 6:00||||||\n"
                                                  "今天|阴|北风3级|明天 -2℃|||"_s}),
                         [](const auto& info) { return std::string(info.param.name); });

// A fetch of the window's own, and rows another collector wrote, show on top of both lists
// and in the slot picture, without losing the rows read so far.
TEST(HistoryRefresh, AFinishedFetchAndAnotherCollectorsRowsShowOnTop) {
  QFile page(QStringLiteral(SKYLOOM_TEST_DATA "/shortnb_output.html"));
  ASSERT_TRUE(page.open(QIODevice::ReadOnly));
  test::TestServer server;
  server.ServeBytes("/page.asp", page.readAll());
  server.Start();
  const auto db = test::MakeTestDatabase(test::Backend::Sqlite);
  test::FakeClock clock{kNow};
  CollectorService service(
      clock, {.address = server.Url(u"/page.asp"_s), .databaseLocation = db->Location()});
  MainWindow form(service);
  ASSERT_TRUE(OpenStore(db->Location())->CreateTables());
  WriteRows(*db, 150);
  form.show();
  form.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
  QTest::keyClick(&form, Qt::Key_H, Qt::ControlModifier);
  HistoryWindow* history = form.History();
  ASSERT_NE(history, nullptr);
  ASSERT_TRUE(history->isVisible());
  ASSERT_TRUE(QTest::qWaitFor([&] { return history->Attempts().rowCount() == 100; }, kWaitMs));

  QSignalSpy finished(&form.Driver(), &SyncDriver::fetchFinished);
  QTest::mouseClick(form.findChild<QPushButton*>(u"cmdGet"_s), Qt::LeftButton);
  ASSERT_TRUE(finished.wait(kWaitMs));
  // The checks below say what was missing when the wait ran out.
  (void)QTest::qWaitFor(
      [&] {
        return history->Forecasts().rowCount() == 101 && history->Attempts().rowCount() == 101;
      },
      kWaitMs);
  EXPECT_EQ(history->Attempts().rowCount(), 101);
  EXPECT_EQ(history->Attempts().Row(0).description, kWritten);
  EXPECT_EQ(history->Forecasts().rowCount(), 101);
  EXPECT_TRUE(history->Forecasts().Row(0).text->startsWith(u"市气象台今天17点钟发布"_s));

  db->Exec(
      u"INSERT INTO tqlog(logtime, errstat, errnum, errdes) VALUES "
      "('2026-12-07 14:15:02', '获取错误', 7, 'Couldn''t connect to server')"_s);
  clock.Set(QDateTime(kNow.date(), QTime(14, 50)));
  history->Refresh();
  const SlotGrid& grid = history->findChild<SlotPicture*>()->Grid();
  // The checks below say what was missing when the wait ran out.
  (void)QTest::qWaitFor(
      [&] {
        return history->Attempts().rowCount() == 102 &&
               grid.At(kSlotPictureDays - 1, 10).state == SlotState::Error;
      },
      kWaitMs);
  EXPECT_EQ(history->Attempts().rowCount(), 102);
  EXPECT_EQ(history->Attempts().Row(0).number, 7);
  EXPECT_EQ(history->Attempts().Row(101).description, u"未写入 50"_s);
  EXPECT_EQ(grid.At(kSlotPictureDays - 1, 10).state, SlotState::Error);
}

// A frozen server holds the window's reads, never the window: it keeps drawing while a
// refresh waits, and closes without waiting the read out.
TEST(HistoryRefresh, AFrozenServerLeavesTheWindowRunningAndClosesAtOnce) {
  test::PgServer server;
  ASSERT_TRUE(OpenStore(server.Uri())->CreateTables());
  server.Psql(RowsSql(5));
  test::FakeClock clock{kNow};
  auto window = std::make_unique<HistoryWindow>(
      server.Uri(),
      PgLimits{.connect = std::chrono::seconds(10), .statement = std::chrono::seconds(10)}, clock);
  window->show();
  ASSERT_TRUE(QTest::qWaitFor([&] { return window->Attempts().rowCount() == 5; }, kWaitMs));

  server.Freeze();
  window->Refresh();
  int ticks = 0;
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
  timer.start(50);
  QTest::qWait(1000);
  EXPECT_GE(ticks, 10);
  const auto closing = std::chrono::steady_clock::now();
  window.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - closing, std::chrono::seconds(5));
  server.Thaw();
}

}  // namespace
}  // namespace skyloom

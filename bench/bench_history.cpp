#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QTabWidget>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>

#include "forecast/text_diff.h"
#include "schedule/sync_schedule.h"
#include "store/sqlite_store.h"
#include "ui/history_models.h"
#include "ui/history_window.h"
#include "ui/slot_picture.h"

namespace skyloom {
namespace {

constexpr int kAttempts = 100'000;
constexpr int kForecasts = 20'000;
const QDateTime kNow(QDate(2026, 12, 7), QTime(17, 30));

class FixedClock final : public Clock {
 public:
  QDateTime Now() const override { return kNow; }
};

QString ForecastText(int i) {
  return QStringLiteral(
             "市气象台今天17点钟发布：今天夜里到明天：多云到阴，有时有小雨。东北风4到5级，"
             "沿江沿海地区阵风6到7级。明天最低温度：%1℃，最高温度：13℃。相对湿度：70%到95%。"
             "市气象台今天11点钟发布：今天白天：阴转多云。偏北风3到4级。最高温度：14℃。第%2条")
      .arg(i % 12)
      .arg(i);
}

void Check(sqlite3* db, int code) {
  if (code != SQLITE_OK && code != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db));
}

// Years of timed attempts, 17 a day back from today, and a forecast every fifth; written in
// one transaction straight into the file, as the tables would have grown.
QString SeedDatabase(const QTemporaryDir& folder) {
  const QString path = folder.filePath(QStringLiteral("tqyb.mdb"));
  if (auto made = SqliteStore(path).CreateTables(); !made) {
    throw std::runtime_error(made.error().message.toStdString());
  }
  sqlite3* db = nullptr;
  Check(db, sqlite3_open(path.toUtf8().constData(), &db));
  std::unique_ptr<sqlite3, decltype(&sqlite3_close)> closer(db, &sqlite3_close);
  Check(db, sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr));
  sqlite3_stmt* log = nullptr;
  sqlite3_stmt* forecast = nullptr;
  Check(db, sqlite3_prepare_v2(db, "INSERT INTO tqlog VALUES(?,?,?,?)", -1, &log, nullptr));
  Check(db,
        sqlite3_prepare_v2(db, "INSERT INTO tq(logtime,tqyb) VALUES(?,?)", -1, &forecast, nullptr));
  const std::vector<QTime> times = SyncWindows{}.TimedSlots();
  const int days = kAttempts / static_cast<int>(times.size()) + 1;
  int written = 0;
  int stored = 0;
  for (int day = days - 1; day >= 0 && written < kAttempts; --day) {
    for (const QTime& slot : times) {
      if (written == kAttempts) break;
      const QByteArray at = QDateTime(kNow.date().addDays(-day), slot.addSecs(2))
                                .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                                .toUtf8();
      const bool store = written % 5 == 0 && stored < kForecasts;
      const bool failed = !store && written % 13 == 0;
      const QByteArray status = (failed ? kStatusFetchError : kStatusFetched).toUtf8();
      const QByteArray description = (failed  ? QStringLiteral("Couldn't connect to server")
                                      : store ? kWritten
                                              : kNotWritten)
                                         .toUtf8();
      sqlite3_bind_text(log, 1, at.constData(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(log, 2, status.constData(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int(log, 3, failed ? 7 : 0);
      sqlite3_bind_text(log, 4, description.constData(), -1, SQLITE_TRANSIENT);
      Check(db, sqlite3_step(log));
      sqlite3_reset(log);
      if (store) {
        const QByteArray text = ForecastText(stored++).toUtf8();
        sqlite3_bind_text(forecast, 1, at.constData(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(forecast, 2, text.constData(), -1, SQLITE_TRANSIENT);
        Check(db, sqlite3_step(forecast));
        sqlite3_reset(forecast);
      }
      ++written;
    }
  }
  sqlite3_finalize(log);
  sqlite3_finalize(forecast);
  Check(db, sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr));
  return path;
}

const QString& DatabasePath() {
  static QTemporaryDir folder;
  static const QString path = SeedDatabase(folder);
  return path;
}

// Opening until the first rows of both lists and the slot picture are read and painted.
// Events until `done` holds: the rows come from the window's reader thread.
bool WaitFor(const std::function<bool()>& done) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done() && std::chrono::steady_clock::now() < until) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  return done();
}

void BM_OpenHistory(benchmark::State& state) {
  const QString& path = DatabasePath();
  const FixedClock clock;
  for (auto _ : state) {
    HistoryWindow window(path, PgLimits{}, clock);
    window.resize(900, 640);
    window.show();
    if (!WaitFor([&] {
          return window.Forecasts().rowCount() > 0 && window.Attempts().rowCount() > 0 &&
                 window.findChild<SlotPicture*>()->Grid().days == kSlotPictureDays;
        })) {
      state.SkipWithError("no rows shown");
      return;
    }
  }
}
BENCHMARK(BM_OpenHistory)->UseRealTime()->Unit(benchmark::kMillisecond);

// One scroll to the end of a list: the next page read and painted. The run walks the whole
// table, so the last pages are as deep as the tables go; the slowest page is reported too.
void ScrollToTheEnd(benchmark::State& state, int tab, const char* list, int rows) {
  const FixedClock clock;
  HistoryWindow window(DatabasePath(), PgLimits{}, clock);
  window.resize(900, 640);
  window.show();
  window.findChild<QTabWidget*>(QStringLiteral("tabHistory"))->setCurrentIndex(tab);
  auto* view = window.findChild<QAbstractItemView*>(QLatin1String(list));
  WaitFor([&] { return view->model()->rowCount() > 0; });
  double slowest = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const int before = view->model()->rowCount();
    view->scrollToBottom();
    WaitFor([&] { return view->model()->rowCount() != before || before == rows; });
    slowest = std::max(
        slowest, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                     .count());
  }
  if (view->model()->rowCount() != rows) state.SkipWithError("the list did not reach its end");
  state.counters["slowest_ms"] = slowest;
  state.counters["rows"] = view->model()->rowCount();
}

void BM_ScrollAttempts(benchmark::State& state) {
  ScrollToTheEnd(state, 1, "lstAttempts", kAttempts);
}
BENCHMARK(BM_ScrollAttempts)
    ->Iterations(kAttempts / kHistoryPageRows - 1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_ScrollForecasts(benchmark::State& state) {
  ScrollToTheEnd(state, 0, "lstForecasts", kForecasts);
}
BENCHMARK(BM_ScrollForecasts)
    ->Iterations(kForecasts / kHistoryPageRows - 1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// The marks of one selected forecast against the one before, at forecast size and at the
// size where the comparison gives up and marks the changed middle whole.
void BM_DiffCharacters(benchmark::State& state) {
  const int length = static_cast<int>(state.range(0));
  QString before;
  QString after;
  for (int i = 0; before.size() < length; ++i) {
    before += ForecastText(i);
    after += ForecastText(i + 1);
  }
  before.truncate(length);
  after.truncate(length);
  for (auto _ : state) benchmark::DoNotOptimize(DiffCharacters(before, after));
}
BENCHMARK(BM_DiffCharacters)->Arg(300)->Arg(2000)->Arg(10'000)->Arg(100'000);

}  // namespace
}  // namespace skyloom

int main(int argc, char** argv) {
  // The real widgets, without a display unless a run asks for one.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  // The offscreen platform says so for every window whose minimum size changes, which would
  // bury the figures.
  static const QtMessageHandler previous = qInstallMessageHandler(
      [](QtMsgType type, const QMessageLogContext& context, const QString& message) {
        if (!message.startsWith(QLatin1String("This plugin does not support"))) {
          previous(type, context, message);
        }
      });
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

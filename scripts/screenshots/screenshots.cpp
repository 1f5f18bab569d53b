// Opens the windows on a database of three weeks made up here, at a fixed instant, and saves
// a picture of each, the History window also in Chinese; then serves the status page over the
// same database and has a headless chromium draw it. Usage: skyloom-screenshots FOLDER
#include <QAbstractItemView>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTextEdit>
#include <cstdio>
#include <functional>

#include "platform/sqlite_connection.h"
#include "platform/translations.h"
#include "schedule/sync_schedule.h"
#include "serving/http_api.h"
#include "serving/metrics.h"
#include "store/open_store.h"
#include "store/sqlite_store.h"
#include "ui/history_window.h"
#include "ui/main_window.h"

namespace skyloom {
namespace {

const QDateTime kNow(QDate(2026, 12, 7), QTime(15, 20, 0));

class FixedClock final : public Clock {
 public:
  QDateTime Now() const override { return kNow; }
};

const QString kForecast = QStringLiteral(
    "市气象台今天11点钟发布：今天白天：阴转多云。偏北风3到4级。最高温度：14℃。"
    "今天夜里到明天：多云到阴，有时有小雨。东北风4到5级，沿江沿海地区阵风6到7级。"
    "明天最低温度：8℃，最高温度：13℃。相对湿度：70%到95%。");

// The morning's text of each day, and the one the afternoon changed it to.
QString Forecast(int day, bool afternoon) {
  QString text = kForecast;
  text.replace(QStringLiteral("8℃"), QStringLiteral("%1℃").arg(4 + day % 6));
  if (afternoon) {
    text.replace(QStringLiteral("11点钟"), QStringLiteral("17点钟"));
    text.replace(QStringLiteral("有时有小雨"), QStringLiteral("傍晚起有小到中雨"));
    text.replace(QStringLiteral("70%到95%"), QStringLiteral("80%到100%"));
  }
  return text;
}

bool Fail(const char* what, const QString& message) {
  std::fprintf(stderr, "skyloom-screenshots: %s: %s\n", what, message.toUtf8().constData());
  return false;
}

// Three weeks of timed attempts: a new forecast each morning and afternoon, some failures, a
// day the program did not run, and a Get clicked by hand.
bool Seed(const QString& path) {
  if (auto made = SqliteStore(path).CreateTables(); !made) {
    return Fail("create", made.error().message);
  }
  SqliteConnection db;
  if (auto opened = db.Open(path, SqliteAccess::ReadWrite); !opened) {
    return Fail("open", opened.error().message);
  }
  db.Execute("BEGIN");
  QRandomGenerator random(20261207);
  const auto log = [&](const QDateTime& at, qint64 number, const QString& description) {
    db.Run("INSERT INTO tqlog(logtime,errstat,errnum,errdes) VALUES(?,?,?,?)",
           {at.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
            number == 0 ? kStatusFetched : kStatusFetchError, number, description});
  };
  const auto store = [&](const QDateTime& at, const QString& text) {
    db.Run("INSERT INTO tq(logtime,tqyb) VALUES(?,?)",
           {at.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")), text});
  };
  for (int day = 20; day >= 0; --day) {
    const QDate date = kNow.date().addDays(-day);
    if (day == 9) continue;  // the machine was off
    for (const QTime& slot : SyncWindows{}.TimedSlots()) {
      const QDateTime at(date, slot.addSecs(1 + random.bounded(4)));
      if (at > kNow) break;
      const bool morning = slot == QTime(6, 15);
      const bool afternoon = slot == QTime(16, 15);
      const int roll = static_cast<int>(random.bounded(100));
      if (day == 3 && slot.hour() == 9) {
        log(at.addSecs(120), 28, QStringLiteral("Timeout was reached"));
      } else if (roll < 3) {
        log(at, 7, QStringLiteral("Couldn't connect to server"));
      } else if (roll < 7) {
        log(at, -1, kEmptyText);
      } else if (morning || afternoon) {
        store(at, Forecast(day, afternoon));
        log(at, 0, kWritten);
      } else {
        log(at, 0, kNotWritten);
      }
      if (day == 1 && slot == QTime(10, 15)) {
        log(QDateTime(date, QTime(10, 27, 41)), 0, kNotWritten);  // Get, clicked by hand
      }
    }
  }
  if (auto committed = db.Execute("COMMIT"); !committed) {
    return Fail("seed", committed.error().message);
  }
  return true;
}

bool Save(QWidget& window, const QString& path) {
  QApplication::processEvents();
  if (!window.grab().save(path)) return Fail("save", path);
  std::printf("%s\n", path.toUtf8().constData());
  return true;
}

// Lets the window's reader threads deliver until `done` holds, for a few seconds at most.
bool WaitFor(const std::function<bool()>& done) {
  QElapsedTimer waited;
  waited.start();
  while (!done() && waited.elapsed() < 10'000) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  }
  return done();
}

// As a window looks after the afternoon's timed fetch.
void ShowAfternoonFetch(MainWindow& window) {
  window.Driver().Tick();
  Attempt attempt;
  attempt.shown = Forecast(0, false);
  attempt.finishedAt = kNow.addSecs(-5 * 60);
  emit window.Driver().fetchFinished(attempt);
  emit window.Driver().lastSyncChanged(attempt.finishedAt);
}

// Selects the afternoon forecast that changed the morning's, and saves both tabs.
bool SaveHistory(MainWindow& window, const QString& path, const QString& folder,
                 const QString& suffix) {
  window.findChild<QPushButton*>(QStringLiteral("cmdHistory"))->click();
  HistoryWindow* history = window.History();
  history->resize(history->sizeHint().expandedTo(QSize(900, 640)));
  auto* forecasts = history->findChild<QAbstractItemView*>(QStringLiteral("lstForecasts"));
  const QAbstractItemModel* model = forecasts->model();
  if (!WaitFor([&] { return model->rowCount() > 0; })) return Fail("read", path);
  for (int row = 0; row + 1 < model->rowCount(); ++row) {
    const auto text = [&](int r) { return model->index(r, 1).data().toString(); };
    if (text(row).contains(QStringLiteral("17点钟")) &&
        text(row + 1).contains(QStringLiteral("11点钟"))) {
      forecasts->setCurrentIndex(model->index(row, 0));
      const auto* text = history->findChild<QTextEdit*>(QStringLiteral("txtForecast"));
      WaitFor([&] { return !text->toPlainText().isEmpty(); });
      break;
    }
  }
  if (!Save(*history, folder + QStringLiteral("/history-forecasts%1.png").arg(suffix))) {
    return false;
  }
  history->findChild<QTabWidget*>(QStringLiteral("tabHistory"))->setCurrentIndex(1);
  if (!Save(*history, folder + QStringLiteral("/history-attempts%1.png").arg(suffix))) {
    return false;
  }
  history->close();
  return true;
}

// The status page as a headless browser draws it for `language`, at `width` pixels.
bool SaveStatusPage(const QString& address, const QString& language, QSize size,
                    const QString& path) {
  QProcess browser;
  browser.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  browser.setStandardOutputFile(QProcess::nullDevice());
  browser.start(
      QStringLiteral("chromium"),
      {QStringLiteral("--headless"), QStringLiteral("--no-sandbox"),
       QStringLiteral("--disable-gpu"), QStringLiteral("--hide-scrollbars"),
       QStringLiteral("--lang=") + language, QStringLiteral("--accept-lang=") + language,
       QStringLiteral("--window-size=%1,%2").arg(size.width()).arg(size.height()),
       QStringLiteral("--virtual-time-budget=5000"), QStringLiteral("--screenshot=") + path,
       QStringLiteral("http://") + address + u'/'});
  if (!browser.waitForFinished(60'000) || browser.exitCode() != 0 || !QFile::exists(path)) {
    browser.kill();
    return Fail("chromium", browser.errorString());
  }
  std::printf("%s\n", path.toUtf8().constData());
  return true;
}

int Run(const QString& folder) {
  QTemporaryDir scratch;
  const QString path = scratch.filePath(QStringLiteral("tqyb.mdb"));
  if (!scratch.isValid() || !Seed(path)) return 1;
  const FixedClock clock;
  const QString address = QStringLiteral("http://weather.example.com/xxw/shortnb_output.asp");

  ServiceSettings settings;
  settings.address = address;
  settings.databaseLocation = path;
  CollectorService service(clock, settings);
  MainWindow window(service);
  window.show();
  ShowAfternoonFetch(window);
  if (!Save(window, folder + QStringLiteral("/main-window.png"))) return 1;
  if (!SaveHistory(window, path, folder, {})) return 1;

  // Larger type: everything still shows whole.
  const QFont normal = QApplication::font();
  QFont large = normal;
  large.setPointSizeF(large.pointSizeF() * 1.6);
  QApplication::setFont(large);
  MainWindow big(service);
  big.show();
  ShowAfternoonFetch(big);
  if (!Save(big, folder + QStringLiteral("/main-window-large-font.png"))) return 1;
  QApplication::setFont(normal);

  QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));
  InstallTranslation(QLocale());
  MainWindow chinese(service);
  chinese.show();
  if (!SaveHistory(chinese, path, folder, QStringLiteral("-zh_CN"))) return 1;

  const Metrics metrics;
  HttpApi api(path, {}, metrics, clock);
  const auto bound = api.Start(QStringLiteral("127.0.0.1:0"));
  if (!bound) {
    Fail("listen", bound.error());
    return 1;
  }
  const QSize desktop(1280, 1500), phone(375, 1500);
  const bool pages =
      SaveStatusPage(*bound, QStringLiteral("en-US"), desktop, folder + "/status-page.png") &&
      SaveStatusPage(*bound, QStringLiteral("zh-CN"), desktop, folder + "/status-page-zh_CN.png") &&
      SaveStatusPage(*bound, QStringLiteral("en-US"), phone, folder + "/status-page-phone.png");
  api.Stop();
  return pages ? 0 : 1;
}

}  // namespace
}  // namespace skyloom

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  if (argc != 2) {
    std::fputs("usage: skyloom-screenshots FOLDER\n", stderr);
    return 2;
  }
  const QString folder = QString::fromLocal8Bit(argv[1]);
  if (!QDir().mkpath(folder)) return 1;
  return skyloom::Run(folder);
}

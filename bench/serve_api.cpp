// The HTTP API over a scratch SQLite file that holds the sample forecast, for
// bench/bench-http.sh. Usage: serve_api PORT. Prints the address it listens on, then serves
// until SIGINT or SIGTERM.

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <csignal>
#include <cstdio>
#include <thread>

#include "platform/clock.h"
#include "serving/http_api.h"
#include "serving/metrics.h"
#include "store/sqlite_store.h"

int main(int argc, char* argv[]) {
  using namespace skyloom;
  if (argc != 2) {
    std::fprintf(stderr, "usage: serve_api PORT\n");
    return 2;
  }
  // Blocked before any thread starts, so that only the wait below takes them.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  // The API's threads hand their results back through this program's event loop.
  QCoreApplication app(argc, argv);

  QFile sample(QStringLiteral(SKYLOOM_TEST_DATA "/shortnb_output.expected.txt"));
  if (!sample.open(QIODevice::ReadOnly)) {
    std::fprintf(stderr, "cannot read %s\n", qPrintable(sample.fileName()));
    return 1;
  }
  QTemporaryDir folder;
  const QString path = folder.filePath(QStringLiteral("tqyb.mdb"));
  SqliteStore store(path);
  const StoreResult seeded =
      store.Record(FetchResult{0, {}, QString::fromUtf8(sample.readAll())});
  if (seeded.error) {
    std::fprintf(stderr, "%s\n", qPrintable(seeded.error->message));
    return 1;
  }

  const Metrics metrics;
  const SystemClock clock;
  HttpApi api(path, PgLimits{}, metrics, clock);
  const auto bound = api.Start(QStringLiteral("127.0.0.1:") + QString::fromLocal8Bit(argv[1]));
  if (!bound) {
    std::fprintf(stderr, "%s\n", qPrintable(bound.error()));
    return 1;
  }
  std::printf("listening on %s\n", qPrintable(*bound));
  std::fflush(stdout);
  std::thread waiter([&stop, &app] {
    int signal = 0;
    sigwait(&stop, &signal);
    QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
  });
  app.exec();
  waiter.join();
  api.Stop();
  return 0;
}

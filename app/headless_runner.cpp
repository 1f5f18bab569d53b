#include "app/headless_runner.h"

#include <QCoreApplication>
#include <cstdio>

#include "collecting/collector.h"
#include "collecting/delivery.h"
#include "collecting/sync_driver.h"
#include "history/slot_grid.h"
#include "platform/stop_signal.h"
#include "store/open_store.h"

namespace skyloom {
namespace {

void PrintLine(std::FILE* stream, const QString& text) {
  const QByteArray bytes = text.toUtf8();
  std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
  std::fputc('\n', stream);
  std::fflush(stream);
}

}  // namespace

int RunHeadless(const CommandLine& line, int argc, char* argv[]) {
  QCoreApplication app(argc, argv);
  OnStopSignal(app, &QCoreApplication::quit);

  const SystemClock clock;
  const std::unique_ptr<ForecastStore> store = OpenStore(line.service.databaseLocation, line.service.databaseLimits);
  Collector collector(clock, *store, line.service.limits, line.service.markers);
  SyncDriver driver(
      collector, [address = line.service.address] { return address; }, line.service.schedule);
  QObject::connect(
      &driver, &SyncDriver::fetchFinished, &app, [&](bool timed, const QString& storeError) {
        if (!storeError.isEmpty()) PrintLine(stderr, storeError);
        if (!timed) return;
        const AttemptRow& logged = driver.LastAttempt().stored.logged;
        QString text =
            QStringLiteral("%1\t%2\t%3\t%4")
                .arg(clock.Now().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")), logged.status)
                .arg(logged.number)
                .arg(logged.description);
        // The log's words for it are those of an empty retrieval; say what happened.
        if (StateOf(logged) == SlotState::NothingExtracted) text += u'\t' + kNothingExtracted;
        PrintLine(stdout, text);
      });
  Delivery delivery(line.service, driver, *store);
  QObject::connect(&delivery, &Delivery::report, &app, [](const QString& text) {
    PrintLine(stderr, QStringLiteral("skyloom: ") + text);
  });
  if (auto problem = delivery.Start()) {
    PrintLine(stderr, QStringLiteral("skyloom: ") + *problem);
    return 1;
  }
  driver.Start();
  const int status = app.exec();
  driver.Stop();
  return status;
}

}  // namespace skyloom

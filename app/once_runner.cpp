#include "app/once_runner.h"

#include <cstdio>

#include "app/terminal_text.h"
#include "collecting/collector.h"
#include "platform/clock.h"
#include "store/open_store.h"

namespace skyloom {

int RunOnce(const CommandLine& line) {
  const SystemClock clock;
  const std::unique_ptr<ForecastStore> store =
      OpenStore(line.service.databaseLocation, line.service.databaseLimits);
  // Sent by the next collector that runs: a stored forecast always has its deliveries.
  store->SetNewForecastChannels(NewForecastChannels(line.service.channels));
  Collector collector(clock, *store, line.service.limits, line.service.markers);
  const Attempt attempt = collector.Fetch(line.service.address);
  const QByteArray shown = TerminalText(attempt.shown).toUtf8();
  std::fwrite(shown.constData(), 1, static_cast<size_t>(shown.size()), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  if (const auto& error = attempt.stored.error) {
    std::fprintf(stderr, "skyloom: the attempt was not stored: %s\n",
                 error->message.toUtf8().constData());
    return 1;
  }
  return 0;
}

int RunInitDb(const CommandLine& line) {
  const std::unique_ptr<ForecastStore> store =
      OpenStore(line.service.databaseLocation, line.service.databaseLimits);
  const auto created = store->CreateTables();
  if (!created) {
    std::fprintf(stderr, "skyloom: %s\n", created.error().message.toUtf8().constData());
    return 1;
  }
  const QString done = *created ? QStringLiteral("created the tables tq and tqlog in %1")
                                : QStringLiteral(
                                      "the tables tq and tqlog are already in %1; "
                                      "nothing changed");
  std::printf("skyloom: %s\n", done.arg(store->Description()).toUtf8().constData());
  const auto outbox = store->CreateOutbox();
  if (!outbox) {
    std::fprintf(stderr, "skyloom: %s\n", outbox.error().message.toUtf8().constData());
    return 1;
  }
  if (*outbox) {
    std::printf("skyloom: created the table outbox in %s\n",
                store->Description().toUtf8().constData());
  }
  return 0;
}

}  // namespace skyloom

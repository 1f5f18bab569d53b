#include "app/once_runner.h"

#include <cstdio>

#include "app/terminal_text.h"
#include "collecting/collector.h"
#include "platform/clock.h"
#include "store/open_store.h"
#include "store/schema.h"

namespace skyloom {

std::optional<QString> NewerDatabase(const ServiceSettings& settings) {
  const auto version =
      OpenStore(settings.databaseLocation, settings.databaseLimits, StoreAccess::ReadOnly)
          ->SchemaVersion();
  if (!version || *version <= kSchemaVersion) return std::nullopt;
  return QStringLiteral(
             "the database %1 was made by a newer skyloom (tables at version %2; this "
             "program knows up to %3); nothing was written")
      .arg(settings.databaseLocation)
      .arg(*version)
      .arg(kSchemaVersion);
}

int RunOnce(const CommandLine& line) {
  const SystemClock clock;
  const std::unique_ptr<ForecastStore> store =
      OpenStore(line.service.databaseLocation, line.service.databaseLimits);
  // Sent by the next collector that runs: a committed event always has its deliveries.
  store->SetEventRoutes(RoutesOf(line.service.channels));
  Collector collector(clock, *store, line.service.limits, line.service.markers);
  const Attempt attempt = collector.Fetch(line.service.address);
  const QByteArray shown = TerminalText(attempt.shown).toUtf8();
  std::fwrite(shown.constData(), 1, static_cast<size_t>(shown.size()), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  if (const auto& error = attempt.stored.error) {
    std::fprintf(stderr, "skyloom: the attempt was not stored: %s\n",
                 error->message.toUtf8().constData());
    return error->code == kSchemaTooNew ? kRefusedDatabase : 1;
  }
  return 0;
}

int RunInitDb(const CommandLine& line) {
  const std::unique_ptr<ForecastStore> store =
      OpenStore(line.service.databaseLocation, line.service.databaseLimits);
  const auto made = store->CreateTables();
  if (!made) {
    std::fprintf(stderr, "skyloom: %s\n", made.error().message.toUtf8().constData());
    return made.error().code == kSchemaTooNew ? kRefusedDatabase : 1;
  }
  const QString done = *made ? QStringLiteral("made the tables in %1 up to version %2")
                             : QStringLiteral(
                                   "the tables in %1 are at version %2 already; "
                                   "nothing changed");
  std::printf("skyloom: %s\n",
              done.arg(store->Description()).arg(kSchemaVersion).toUtf8().constData());
  return 0;
}

}  // namespace skyloom

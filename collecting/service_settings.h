#pragma once

#include <QString>
#include <chrono>

#include "acquisition/forecast_text.h"
#include "platform/http_get.h"
#include "schedule/sync_schedule.h"
#include "store/pg_store.h"

namespace skyloom {

// What a running collector needs to know, wherever the values came from.
struct ServiceSettings {
  QString address{};           // the page address as the address box starts with it
  QString databaseLocation{};  // an SQLite file or a postgresql:// URI
  HttpLimits limits{};
  PgLimits databaseLimits{};
  QString listen{};      // HOST:PORT of the HTTP API; empty: none
  QString onNew{};       // shell command run on each new forecast; empty: none
  QString onFailure{};   // shell command run when attempts start failing; empty: none
  QString onRecovery{};  // shell command run at the first good attempt after failures
  PageMarkers markers{};
  SyncWindows schedule{};
  // Collectors on one database take turns at the timed fetches; false: this one fetches on
  // every slot whatever the others do.
  bool standby = true;
  // How long a turn outlives its holder's last renewal on a server: the longest a frozen
  // holder keeps it.
  std::chrono::milliseconds leaseTerm{std::chrono::seconds(10)};
};

}  // namespace skyloom

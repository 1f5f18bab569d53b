#include "store/open_store.h"

#include "store/sqlite_store.h"

namespace skyloom {

bool IsServerLocation(const QString& location) {
  return location.startsWith(QLatin1String("postgresql://")) ||
         location.startsWith(QLatin1String("postgres://"));
}

std::unique_ptr<ForecastStore> OpenStore(const QString& location, PgLimits limits,
                                         StoreAccess access) {
  if (IsServerLocation(location)) return std::make_unique<PgStore>(location, limits, access);
  return std::make_unique<SqliteStore>(location, access);
}

}  // namespace skyloom

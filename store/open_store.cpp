#include "store/open_store.h"

#include "store/sqlite_store.h"

namespace skyloom {

bool IsServerLocation(const QString& location) {
  if (location.startsWith(QLatin1String("postgresql://")) ||
      location.startsWith(QLatin1String("postgres://"))) {
    return true;
  }
  // A file name could hold '=', but hardly begins with one of libpq's keywords and one. No
  // static pattern: threads left to the exit still ask this while statics are destroyed.
  const QStringView text = QStringView(location).trimmed();
  for (const char* keyword : {"host", "hostaddr", "port", "dbname", "user", "service"}) {
    const QLatin1String name(keyword);
    if (text.startsWith(name) && text.sliced(name.size()).trimmed().startsWith(u'=')) return true;
  }
  return false;
}

std::unique_ptr<ForecastStore> OpenStore(const QString& location, PgLimits limits,
                                         StoreAccess access, const char* kind) {
  if (kind) limits.kind = kind;
  if (IsServerLocation(location)) return std::make_unique<PgStore>(location, limits, access);
  return std::make_unique<SqliteStore>(location, access);
}

}  // namespace skyloom

#include "store/open_store.h"

#include <QRegularExpression>

#include "store/sqlite_store.h"

namespace skyloom {

bool IsServerLocation(const QString& location) {
  // A file name could hold '=', but hardly begins with one of libpq's keywords and one.
  static const QRegularExpression keywords(
      QStringLiteral("^\\s*(host|hostaddr|port|dbname|user|service)\\s*="));
  return location.startsWith(QLatin1String("postgresql://")) ||
         location.startsWith(QLatin1String("postgres://")) || keywords.match(location).hasMatch();
}

std::unique_ptr<ForecastStore> OpenStore(const QString& location, PgLimits limits,
                                         StoreAccess access, const char* kind) {
  if (kind) limits.kind = kind;
  if (IsServerLocation(location)) return std::make_unique<PgStore>(location, limits, access);
  return std::make_unique<SqliteStore>(location, access);
}

}  // namespace skyloom

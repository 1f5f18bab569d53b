#include "store/open_store.h"

#include "store/sqlite_store.h"

namespace skyloom {

std::unique_ptr<ForecastStore> OpenStore(const QString& location) {
  return std::make_unique<SqliteStore>(location);
}

}  // namespace skyloom

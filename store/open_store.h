#pragma once

#include <QString>
#include <memory>

#include "store/forecast_store.h"
#include "store/pg_store.h"

namespace skyloom {

// Whether a --db value names a PostgreSQL server rather than a file.
bool IsServerLocation(const QString& location);

// The store a --db value names: a postgresql:// or postgres:// URI, or an SQLite file.
std::unique_ptr<ForecastStore> OpenStore(const QString& location, PgLimits limits = {},
                                         StoreAccess access = StoreAccess::ReadWrite);

}  // namespace skyloom

#pragma once

#include <QString>
#include <memory>

#include "store/forecast_store.h"
#include "store/pg_store.h"

namespace skyloom {

// Whether a --db value names a PostgreSQL server rather than a file: a postgresql:// URI or a
// keyword string such as "host=h1,h2 port=5432 dbname=skyloom".
bool IsServerLocation(const QString& location);

// The store a --db value names: a PostgreSQL server, or an SQLite file. `kind` names its
// server connection in the log, /health and /metrics.
std::unique_ptr<ForecastStore> OpenStore(const QString& location, PgLimits limits = {},
                                         StoreAccess access = StoreAccess::ReadWrite,
                                         const char* kind = nullptr);

}  // namespace skyloom

#pragma once

#include <QString>

#include "platform/sqlite_connection.h"

namespace skyloom {

// Opens the database for one call: for writing, a missing file is created with both tables
// when `create` is set, in one step, so no reader ever sees a half-made file; for reading
// (SqliteAccess::ReadOnly or Immutable) nothing is ever made or changed. An existing file
// without both tables is refused and left as it is.
DbExpected<void> OpenForecastDatabase(SqliteConnection& connection, const QString& path,
                                      SqliteAccess access);

// Makes the file with both tables, or the tables in an empty file; true when anything was
// made. A file that has other tables is refused.
DbExpected<bool> CreateForecastDatabase(const QString& path);

}  // namespace skyloom

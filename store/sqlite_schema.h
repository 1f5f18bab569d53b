#pragma once

#include <QString>

#include "platform/sqlite_connection.h"

namespace skyloom {

// The tables other programs read. `id` grows with every insert and is never reused, so the
// newest forecast is always the row with the highest id.
inline constexpr char kSchemaSql[] =
    "CREATE TABLE tq(\n"
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,\n"
    "  logtime TEXT NOT NULL,   -- local 'YYYY-MM-DD HH:MM:SS'\n"
    "  tqyb TEXT\n"
    ");\n"
    "CREATE TABLE tqlog(\n"
    "  logtime TEXT NOT NULL,   -- local 'YYYY-MM-DD HH:MM:SS'\n"
    "  errstat TEXT NOT NULL,   -- '正常获取' or '获取错误'\n"
    "  errnum INTEGER NOT NULL,\n"
    "  errdes TEXT\n"
    ");\n";

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

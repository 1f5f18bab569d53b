#pragma once

#include <QString>

#include "platform/sql_session.h"

namespace skyloom {

enum class SqlEngine { Sqlite, Postgres };

// The version of the tables this program writes. Each version is one step below, applied in
// order and in a transaction of its own.
inline constexpr int kSchemaVersion = 4;

// The code of the refusal of a database that a newer program made: it is left untouched.
inline constexpr int kSchemaTooNew = -2;

// The version the database's tables are at: 0 for tables made before versions were kept.
DbExpected<int> SchemaVersion(SqlSession& session, SqlEngine engine);

// Brings the tables up to kSchemaVersion; true when any step was applied. Refuses, with
// kSchemaTooNew, a database at a later version. Safe beside other writers doing the same.
DbExpected<bool> UpgradeSchema(SqlSession& session, SqlEngine engine);

}  // namespace skyloom

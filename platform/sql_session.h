#pragma once

#include <QString>
#include <functional>
#include <optional>
#include <vector>

#include "platform/db_types.h"

namespace skyloom {

// One conversation with a database, alike from above whichever engine holds the tables.
class SqlSession {
 public:
  virtual ~SqlSession() = default;

  // Runs statements without parameters or results; several may be separated by semicolons.
  virtual DbExpected<void> Execute(const char* sql) = 0;
  // Runs one statement with its values bound as parameters, never spliced into the text.
  virtual DbExpected<void> Run(const char* sql, SqlValues values) = 0;
  // Runs one statement with bound values and collects every row it gives.
  virtual DbExpected<std::vector<SqlRow>> Query(const char* sql, SqlValues values) = 0;
  // Runs one statement with bound values and hands `visit` each row as it comes, for results
  // too large to collect; by default through Query.
  virtual DbExpected<void> Visit(const char* sql, SqlValues values,
                                 const std::function<void(SqlFieldsView)>& visit);

  // First field of the first row: nullopt inside when there is no row or the field is null.
  DbExpected<std::optional<QString>> QueryText(const char* sql, SqlValues values);
  // First field of the first row as a number; 0 when there is no row or the field is null.
  DbExpected<qint64> QueryInt(const char* sql, SqlValues values);
};

}  // namespace skyloom

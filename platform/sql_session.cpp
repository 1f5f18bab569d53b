#include "platform/sql_session.h"

namespace skyloom {

DbExpected<std::optional<QString>> SqlSession::QueryText(const char* sql, SqlValues values) {
  auto rows = Query(sql, values);
  if (!rows) return std::unexpected(rows.error());
  if (rows->empty() || rows->front().empty()) return std::optional<QString>();
  return rows->front().front();
}

DbExpected<qint64> SqlSession::QueryInt(const char* sql, SqlValues values) {
  auto field = QueryText(sql, values);
  if (!field) return std::unexpected(field.error());
  if (!*field) return 0;
  bool whole = false;
  const qint64 value = (*field)->toLongLong(&whole);
  if (!whole)
    return std::unexpected(DbError{-1, QStringLiteral("the result is not a whole number")});
  return value;
}

}  // namespace skyloom

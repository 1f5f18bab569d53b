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

DbExpected<void> SqlSession::Visit(const char* sql, SqlValues values,
                                   const std::function<void(SqlFieldsView)>& visit) {
  auto rows = Query(sql, values);
  if (!rows) return std::unexpected(rows.error());
  std::vector<QByteArray> bytes;
  std::vector<std::optional<QByteArrayView>> fields;
  for (const SqlRow& row : *rows) {
    bytes.assign(row.size(), QByteArray());
    fields.assign(row.size(), std::nullopt);
    for (size_t i = 0; i < row.size(); ++i) {
      if (!row[i]) continue;
      bytes[i] = row[i]->toUtf8();
      fields[i] = bytes[i];
    }
    visit(fields);
  }
  return {};
}

}  // namespace skyloom

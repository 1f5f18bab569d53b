#pragma once

#include <QByteArrayView>
#include <QString>
#include <expected>
#include <initializer_list>
#include <optional>
#include <span>
#include <utility>
#include <variant>
#include <vector>

namespace skyloom {

struct DbError {
  DbError() = default;
  DbError(int code, QString message, QString sqlState = {})
      : code(code), message(std::move(message)), sqlState(std::move(sqlState)) {}

  // SQLite: the extended result code. PostgreSQL: the SQLSTATE packed as the server packs it
  // internally, so it is never 0 for an error.
  int code = 0;
  QString message;
  QString sqlState;  // PostgreSQL's five-character SQLSTATE; empty for SQLite
};

// What a database call gives: its value, or why there is none.
template <class T>
using DbExpected = std::expected<T, DbError>;

using SqlValue = std::variant<qint64, QString>;
// Values bound to a statement's $1, $2… (or ?1, ?2… and plain ? in SQLite) in that order.
using SqlValues = std::initializer_list<SqlValue>;
// A result row, every field as text (numbers in decimal); a NULL field is nullopt.
using SqlRow = std::vector<std::optional<QString>>;
// The same as the database hands it over: UTF-8, valid only while it is being looked at.
using SqlFieldsView = std::span<const std::optional<QByteArrayView>>;

}  // namespace skyloom

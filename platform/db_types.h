#pragma once

#include <QString>
#include <utility>
#include <variant>

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

using SqlValue = std::variant<qint64, QString>;

}  // namespace skyloom

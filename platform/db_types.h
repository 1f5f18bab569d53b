#pragma once

#include <QString>
#include <optional>
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

using SqlValue = std::variant<qint64, QString>;
// A result row, every field as text (numbers in decimal); a NULL field is nullopt.
using SqlRow = std::vector<std::optional<QString>>;

}  // namespace skyloom

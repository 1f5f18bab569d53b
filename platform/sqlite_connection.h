#pragma once

#include <QString>
#include <initializer_list>
#include <memory>
#include <optional>

#include "platform/db_types.h"

struct sqlite3;

namespace skyloom {

// One open database file; closed when the object goes.
class SqliteConnection final {
 public:
  SqliteConnection();
  ~SqliteConnection();
  SqliteConnection(const SqliteConnection&) = delete;
  SqliteConnection& operator=(const SqliteConnection&) = delete;

  // Opens an existing file read-write, or creates it when `create` is set.
  std::optional<DbError> Open(const QString& path, bool create);
  // Runs statements without parameters or results.
  std::optional<DbError> Execute(const char* sql);
  // Runs one statement with its values bound as parameters, never spliced into the text.
  std::optional<DbError> Run(const char* sql, std::initializer_list<SqlValue> values);
  // First field of the first row: nullopt inside when there is no row or the field is null.
  std::optional<DbError> QueryText(const char* sql, std::optional<QString>& field);
  std::optional<DbError> QueryInt(const char* sql, qint64& value);

 private:
  struct Closer {
    void operator()(sqlite3* db) const;
  };
  std::optional<DbError> LastError(int code) const;
  std::unique_ptr<sqlite3, Closer> db_;
};

}  // namespace skyloom

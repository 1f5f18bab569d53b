#pragma once

#include <QString>
#include <initializer_list>
#include <memory>
#include <optional>
#include <vector>

#include "platform/db_types.h"

struct sqlite3;
struct sqlite3_stmt;

namespace skyloom {

// One open database file; closed when the object goes.
class SqliteConnection final {
 public:
  SqliteConnection();
  ~SqliteConnection();
  SqliteConnection(const SqliteConnection&) = delete;
  SqliteConnection& operator=(const SqliteConnection&) = delete;

  // Opens an existing file read-write, or creates it when `create` is set; a file that can
  // only be read is refused.
  std::optional<DbError> Open(const QString& path, bool create);
  // Runs statements without parameters or results.
  std::optional<DbError> Execute(const char* sql);
  // Runs one statement with its values bound as parameters, never spliced into the text.
  std::optional<DbError> Run(const char* sql, std::initializer_list<SqlValue> values);
  // Runs one statement with bound values and collects every row it gives.
  std::optional<DbError> Query(const char* sql, std::initializer_list<SqlValue> values,
                               std::vector<SqlRow>& rows);
  // Switches the file to write-ahead logging unless another connection holds it in the old
  // mode right now; the mode is kept in the file, so this succeeds once and for good.
  std::optional<DbError> TryWriteAheadLog();
  // The rowid of the last insert on this connection.
  qint64 LastInsertId() const;

 private:
  struct Closer {
    void operator()(sqlite3* db) const;
  };
  struct Finalizer {
    void operator()(sqlite3_stmt* statement) const;
  };
  using Statement = std::unique_ptr<sqlite3_stmt, Finalizer>;

  std::optional<DbError> LastError(int code) const;
  std::optional<DbError> Prepare(const char* sql, std::initializer_list<SqlValue> values,
                                 Statement& statement);
  std::unique_ptr<sqlite3, Closer> db_;
};

}  // namespace skyloom

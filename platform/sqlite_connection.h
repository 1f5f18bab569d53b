#pragma once

#include <QString>
#include <QtGlobal>
#include <chrono>
#include <memory>
#include <vector>

#include "platform/db_types.h"
#include "platform/sql_session.h"

struct sqlite3;
struct sqlite3_stmt;

namespace skyloom {

class Interruption;

enum class SqliteAccess {
  ReadWrite,        // an existing file; one that can only be read is refused
  ReadWriteCreate,  // the same, or a new file
  ReadOnly,         // never writes, though SQLite may add its shared-memory files beside it
  // Reads without locks or companion files: only for a file that no one writes meanwhile,
  // which the caller must check afterwards.
  Immutable,
};

// One open database file; closed when the object goes.
class SqliteConnection final : public SqlSession {
 public:
  // A raised `interruption` ends the statement that runs, and any wait on another program's
  // lock, with SQLITE_INTERRUPT.
  explicit SqliteConnection(const Interruption* interruption = nullptr);
  ~SqliteConnection() override;
  Q_DISABLE_COPY_MOVE(SqliteConnection)

  DbExpected<void> Open(const QString& path, SqliteAccess access);
  DbExpected<void> Execute(const char* sql) override;
  // Values go to $1/?1…, or in order to plain ? marks.
  DbExpected<void> Run(const char* sql, SqlValues values) override;
  DbExpected<std::vector<SqlRow>> Query(const char* sql, SqlValues values) override;
  DbExpected<void> Visit(const char* sql, SqlValues values,
                         const std::function<void(SqlFieldsView)>& visit) override;
  // Switches the file to write-ahead logging unless another connection holds it in the old
  // mode right now; the mode is kept in the file, so this succeeds once and for good.
  DbExpected<void> TryWriteAheadLog();

 private:
  struct Release {
    void operator()(sqlite3* db) const;
    void operator()(sqlite3_stmt* statement) const;
  };
  using Statement = std::unique_ptr<sqlite3_stmt, Release>;

  static int WaitWhileBusy(void* self, int count);
  static int Interrupted(void* self);
  DbExpected<void> Check(int code) const;
  DbExpected<Statement> Prepare(const char* sql, SqlValues values);

  const Interruption* interruption_;
  std::unique_ptr<sqlite3, Release> db_;
  std::chrono::milliseconds busyWait_;
  std::chrono::steady_clock::time_point busySince_;
};

}  // namespace skyloom

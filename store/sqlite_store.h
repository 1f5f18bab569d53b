#pragma once

#include <QDateTime>
#include <QString>
#include <memory>
#include <optional>

#include "platform/sqlite_connection.h"
#include "store/sql_store.h"

namespace skyloom {

// The forecast database as an SQLite file. Each call opens and closes its own connection, so
// another program may hold the file between fetches; reads never write to it.
class SqliteStore final : public SqlStore {
 public:
  explicit SqliteStore(QString path, StoreAccess access = StoreAccess::ReadWrite);
  ~SqliteStore() override;

  // The start of the last slot the group fetched, as its attempt recorded it; nothing when
  // none was, or it cannot be read.
  std::optional<QDateTime> LastSlot();

 protected:
  DbExpected<SqlSession*> OpenSession(Use use) override;
  bool CloseSession() override;
  DbExpected<bool> MakeTables() override;
  QString Hint(const DbError& error) const override;

 private:
  // What tells whether the file changed while it was read without locks.
  struct FileState;

  DbExpected<SqlSession*> OpenForReading();

  QString path_;
  std::unique_ptr<SqliteConnection> connection_;
  std::unique_ptr<FileState> readFrom_;  // set while a read without locks is under way
  bool lastReadTorn_ = false;
};

}  // namespace skyloom

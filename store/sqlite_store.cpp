#include "store/sqlite_store.h"

#include <sqlite3.h>

#include <QFileInfo>

#include "store/sqlite_schema.h"

namespace skyloom {

SqliteStore::SqliteStore(QString path) : path_(std::move(path)) {}

StoreError SqliteStore::Failure(const DbError& error) const {
  QString message = QStringLiteral("Database %1: %2").arg(path_, error.message);
  // SQLite blames the file when it cannot make its journal beside it.
  const int primary = error.code & 0xff;
  const QFileInfo file(path_);
  if ((primary == SQLITE_READONLY || primary == SQLITE_CANTOPEN) && file.exists() &&
      !QFileInfo(file.absolutePath()).isWritable()) {
    message += QStringLiteral(" (the folder %1 is not writable)").arg(file.absolutePath());
  }
  return StoreError{error.code, message};
}

std::optional<StoreError> SqliteStore::BeginWrite() {
  writing_ = std::make_unique<SqliteConnection>();
  if (auto error = OpenForecastDatabase(*writing_, path_, /*create=*/true)) return Failure(*error);
  // IMMEDIATE takes the write lock before the comparison, so two collectors cannot both
  // find the same text new.
  if (auto error = writing_->Execute("BEGIN IMMEDIATE")) return Failure(*error);
  return std::nullopt;
}

std::optional<StoreError> SqliteStore::InsertIfNew(const QString& text, qint64& id) {
  id = 0;
  std::vector<SqlRow> newest;
  if (auto error = writing_->Query("SELECT tqyb FROM tq ORDER BY id DESC LIMIT 1", {}, newest)) {
    return Failure(*error);
  }
  // An empty table or a null newest row counts as different, so the first forecast is
  // stored and a null can never block every later one.
  if (!newest.empty() && newest[0][0] == text) return std::nullopt;
  if (auto error = writing_->Run(
          "INSERT INTO tq(logtime,tqyb) VALUES (datetime('now','localtime'),?)", {text})) {
    return Failure(*error);
  }
  id = writing_->LastInsertId();
  return std::nullopt;
}

std::optional<StoreError> SqliteStore::AppendAttempt(const AttemptRow& row) {
  if (auto error = writing_->Run("INSERT INTO tqlog(logtime,errstat,errnum,errdes) "
                                 "VALUES(datetime('now','localtime'),?,?,?)",
                                 {row.status, row.number, row.description})) {
    return Failure(*error);
  }
  return std::nullopt;
}

std::optional<StoreError> SqliteStore::CommitWrite() {
  auto error = writing_->Execute("COMMIT");
  if (error) return Failure(*error);
  writing_.reset();
  return std::nullopt;
}

void SqliteStore::AbandonWrite() {
  // Closing the connection rolls back whatever the transaction held.
  writing_.reset();
}

std::optional<StoreError> SqliteStore::CreateTables(bool& created) {
  created = !QFileInfo::exists(path_);
  SqliteConnection connection;
  if (auto error = OpenForecastDatabase(connection, path_, /*create=*/true)) {
    created = false;
    return Failure(*error);
  }
  return std::nullopt;
}

std::optional<StoreError> SqliteStore::OpenForReading(SqliteConnection& connection) const {
  if (auto error = OpenForecastDatabase(connection, path_, /*create=*/false)) {
    return Failure(*error);
  }
  return std::nullopt;
}

std::optional<StoreError> SqliteStore::NewestForecasts(int limit, qint64 beforeId,
                                                       std::vector<ForecastRow>& rows) {
  rows.clear();
  SqliteConnection connection;
  if (auto error = OpenForReading(connection)) return error;
  std::vector<SqlRow> found;
  if (auto error = connection.Query("SELECT id, logtime, tqyb FROM tq WHERE ?1 = 0 OR id < ?1 "
                                    "ORDER BY id DESC LIMIT ?2",
                                    {beforeId, qint64{limit}}, found)) {
    return Failure(*error);
  }
  rows = ForecastRows(found);
  return std::nullopt;
}

std::optional<StoreError> SqliteStore::ReadAttempts(const char* sql,
                                                    std::initializer_list<SqlValue> values,
                                                    std::vector<AttemptRow>& rows) const {
  rows.clear();
  SqliteConnection connection;
  if (auto error = OpenForReading(connection)) return error;
  std::vector<SqlRow> found;
  if (auto error = connection.Query(sql, values, found)) return Failure(*error);
  rows = AttemptRows(found);
  return std::nullopt;
}

// tqlog is a rowid table: the rowid is the order of insert, whatever the clock said.
std::optional<StoreError> SqliteStore::NewestAttempts(int limit, std::vector<AttemptRow>& rows) {
  return ReadAttempts(
      "SELECT logtime, errstat, errnum, errdes, rowid FROM tqlog ORDER BY rowid DESC LIMIT ?",
      {qint64{limit}}, rows);
}

std::optional<StoreError> SqliteStore::AttemptsBefore(const AttemptRow& row, int limit,
                                                      std::vector<AttemptRow>& rows) {
  return ReadAttempts(
      "SELECT logtime, errstat, errnum, errdes, rowid FROM tqlog WHERE rowid < ?1 "
      "ORDER BY rowid DESC LIMIT ?2",
      {row.position.toLongLong(), qint64{limit}}, rows);
}

std::optional<StoreError> SqliteStore::AttemptsBetween(const QString& from, const QString& to,
                                                       std::vector<AttemptRow>& rows) {
  return ReadAttempts(
      "SELECT logtime, errstat, errnum, errdes, rowid FROM tqlog "
      "WHERE logtime >= ?1 AND logtime < ?2 ORDER BY rowid",
      {from, to}, rows);
}

}  // namespace skyloom

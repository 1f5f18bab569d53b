#include "platform/sqlite_connection.h"

#include <sqlite3.h>

namespace skyloom {
namespace {

// Another program may hold the file for a moment (a backup, a checkpoint); wait before failing.
constexpr int kBusyWaitMs = 5000;

}  // namespace

void SqliteConnection::Closer::operator()(sqlite3* db) const { sqlite3_close_v2(db); }
void SqliteConnection::Finalizer::operator()(sqlite3_stmt* statement) const {
  sqlite3_finalize(statement);
}

SqliteConnection::SqliteConnection() = default;
SqliteConnection::~SqliteConnection() = default;

std::optional<DbError> SqliteConnection::LastError(int code) const {
  if (code == SQLITE_OK || code == SQLITE_DONE || code == SQLITE_ROW) return std::nullopt;
  const char* message = db_ ? sqlite3_errmsg(db_.get()) : sqlite3_errstr(code);
  const int extended = db_ ? sqlite3_extended_errcode(db_.get()) : code;
  return DbError{extended, QString::fromUtf8(message)};
}

std::optional<DbError> SqliteConnection::Open(const QString& path, bool create) {
  sqlite3* raw = nullptr;
  const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
  const int code = sqlite3_open_v2(path.toUtf8().constData(), &raw, flags, nullptr);
  db_.reset(raw);
  if (code != SQLITE_OK) {
    auto error = LastError(code);
    db_.reset();
    return error;
  }
  sqlite3_extended_result_codes(raw, 1);
  // SQLite quietly opens a file it may not write read-only; say so before a read leaves
  // write-ahead companions beside a file that no write can reach.
  if (sqlite3_db_readonly(raw, "main") == 1) {
    db_.reset();
    return DbError{SQLITE_READONLY, QString::fromUtf8(sqlite3_errstr(SQLITE_READONLY))};
  }
  sqlite3_busy_timeout(raw, kBusyWaitMs);
  // Full syncs: a committed row survives a crash or a power loss.
  return Execute("PRAGMA synchronous=FULL");
}

std::optional<DbError> SqliteConnection::Execute(const char* sql) {
  return LastError(sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr));
}

std::optional<DbError> SqliteConnection::Prepare(const char* sql,
                                                 std::initializer_list<SqlValue> values,
                                                 Statement& statement) {
  sqlite3_stmt* raw = nullptr;
  if (auto error = LastError(sqlite3_prepare_v2(db_.get(), sql, -1, &raw, nullptr))) return error;
  statement.reset(raw);
  int index = 1;
  for (const SqlValue& value : values) {
    int code = SQLITE_OK;
    if (const auto* number = std::get_if<qint64>(&value)) {
      code = sqlite3_bind_int64(raw, index, *number);
    } else {
      const QString& text = std::get<QString>(value);
      code =
          sqlite3_bind_text16(raw, index, text.utf16(),
                              static_cast<int>(text.size() * sizeof(char16_t)), SQLITE_TRANSIENT);
    }
    if (auto error = LastError(code)) return error;
    ++index;
  }
  return std::nullopt;
}

std::optional<DbError> SqliteConnection::Run(const char* sql,
                                             std::initializer_list<SqlValue> values) {
  Statement statement;
  if (auto error = Prepare(sql, values, statement)) return error;
  return LastError(sqlite3_step(statement.get()));
}

std::optional<DbError> SqliteConnection::Query(const char* sql,
                                               std::initializer_list<SqlValue> values,
                                               std::vector<SqlRow>& rows) {
  rows.clear();
  Statement statement;
  if (auto error = Prepare(sql, values, statement)) return error;
  sqlite3_stmt* raw = statement.get();
  int code = SQLITE_ROW;
  while ((code = sqlite3_step(raw)) == SQLITE_ROW) {
    SqlRow& row = rows.emplace_back(static_cast<size_t>(sqlite3_column_count(raw)));
    for (int column = 0; column < static_cast<int>(row.size()); ++column) {
      if (sqlite3_column_type(raw, column) == SQLITE_NULL) continue;
      const auto* text = static_cast<const char16_t*>(sqlite3_column_text16(raw, column));
      const int bytes = sqlite3_column_bytes16(raw, column);
      row[column] = QString::fromUtf16(text, bytes / static_cast<int>(sizeof(char16_t)));
    }
  }
  return LastError(code);
}

std::optional<DbError> SqliteConnection::TryWriteAheadLog() {
  // Waiting here would only delay the write that follows, which waits on its own.
  sqlite3_busy_timeout(db_.get(), 0);
  auto error = Execute("PRAGMA journal_mode=WAL");
  sqlite3_busy_timeout(db_.get(), kBusyWaitMs);
  if (error && (error->code & 0xff) == SQLITE_BUSY) return std::nullopt;
  return error;
}

qint64 SqliteConnection::LastInsertId() const { return sqlite3_last_insert_rowid(db_.get()); }

}  // namespace skyloom

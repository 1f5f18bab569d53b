#include "platform/sqlite_connection.h"

#include <sqlite3.h>

namespace skyloom {
namespace {

// Another program may hold the file for a moment (a reader, a backup); wait before failing.
constexpr int kBusyWaitMs = 5000;

struct StatementFinalizer {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

}  // namespace

void SqliteConnection::Closer::operator()(sqlite3* db) const { sqlite3_close_v2(db); }

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
  sqlite3_busy_timeout(raw, kBusyWaitMs);
  // Rollback journal with full syncs: a committed row survives a crash or power loss, and
  // other programs read the file without needing the -wal and -shm companions.
  return Execute("PRAGMA synchronous=FULL");
}

std::optional<DbError> SqliteConnection::Execute(const char* sql) {
  return LastError(sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr));
}

std::optional<DbError> SqliteConnection::Run(const char* sql,
                                             std::initializer_list<SqlValue> values) {
  sqlite3_stmt* raw = nullptr;
  if (auto error = LastError(sqlite3_prepare_v2(db_.get(), sql, -1, &raw, nullptr))) return error;
  Statement statement(raw);
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
  return LastError(sqlite3_step(raw));
}

std::optional<DbError> SqliteConnection::QueryText(const char* sql, std::optional<QString>& field) {
  field.reset();
  sqlite3_stmt* raw = nullptr;
  if (auto error = LastError(sqlite3_prepare_v2(db_.get(), sql, -1, &raw, nullptr))) return error;
  Statement statement(raw);
  const int code = sqlite3_step(raw);
  if (code == SQLITE_ROW && sqlite3_column_type(raw, 0) != SQLITE_NULL) {
    const auto* text = static_cast<const char16_t*>(sqlite3_column_text16(raw, 0));
    const int bytes = sqlite3_column_bytes16(raw, 0);
    field = QString::fromUtf16(text, bytes / static_cast<int>(sizeof(char16_t)));
  }
  return LastError(code);
}

std::optional<DbError> SqliteConnection::QueryInt(const char* sql, qint64& value) {
  value = 0;
  sqlite3_stmt* raw = nullptr;
  if (auto error = LastError(sqlite3_prepare_v2(db_.get(), sql, -1, &raw, nullptr))) return error;
  Statement statement(raw);
  const int code = sqlite3_step(raw);
  if (code == SQLITE_ROW) value = sqlite3_column_int64(raw, 0);
  return LastError(code);
}

}  // namespace skyloom

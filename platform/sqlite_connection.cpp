#include "platform/sqlite_connection.h"

#include <sqlite3.h>

#include <QUrl>
#include <thread>

#include "platform/interruption.h"

namespace skyloom {
namespace {

using namespace std::chrono_literals;

// Another program may hold the file for a moment (a backup, a checkpoint); wait before failing.
constexpr auto kBusyWait = 5000ms;
// Short enough that an interruption ends a wait at once.
constexpr auto kBusyStep = 10ms;
constexpr int kStepsBetweenChecks = 1000;

int OpenFlags(SqliteAccess access) {
  switch (access) {
    case SqliteAccess::ReadWrite:
      return SQLITE_OPEN_READWRITE;
    case SqliteAccess::ReadWriteCreate:
      return SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    case SqliteAccess::ReadOnly:
      return SQLITE_OPEN_READONLY;
    case SqliteAccess::Immutable:
      return SQLITE_OPEN_READONLY | SQLITE_OPEN_URI;
  }
  return 0;
}

// The value of $N or ?N for parameter `index`; a plain ? takes the value at its own index.
int ValueNumber(sqlite3_stmt* statement, int index) {
  const char* name = sqlite3_bind_parameter_name(statement, index);
  if (!name) return index;
  if (name[0] != '$' && name[0] != '?') return 0;
  const QByteArray digits(name + 1);
  bool number = false;
  const int value = digits.toInt(&number);
  return number ? value : 0;
}

}  // namespace

void SqliteConnection::Release::operator()(sqlite3* db) const { sqlite3_close_v2(db); }
void SqliteConnection::Release::operator()(sqlite3_stmt* statement) const {
  sqlite3_finalize(statement);
}

SqliteConnection::SqliteConnection(const Interruption* interruption)
    : interruption_(interruption), busyWait_(kBusyWait) {}
SqliteConnection::~SqliteConnection() = default;

DbExpected<void> SqliteConnection::Check(int code) const {
  if (code == SQLITE_OK || code == SQLITE_DONE || code == SQLITE_ROW) return {};
  // A wait given up for an interruption says "locked"; say why it really ended.
  if (interruption_ && interruption_->Raised()) {
    return std::unexpected(
        DbError{SQLITE_INTERRUPT, QString::fromUtf8(sqlite3_errstr(SQLITE_INTERRUPT))});
  }
  const char* message = db_ ? sqlite3_errmsg(db_.get()) : sqlite3_errstr(code);
  const int extended = db_ ? sqlite3_extended_errcode(db_.get()) : code;
  return std::unexpected(DbError{extended, QString::fromUtf8(message)});
}

int SqliteConnection::WaitWhileBusy(void* self, int count) {
  auto* connection = static_cast<SqliteConnection*>(self);
  const auto now = std::chrono::steady_clock::now();
  if (count == 0) connection->busySince_ = now;
  if (connection->interruption_ && connection->interruption_->Raised()) return 0;
  if (now - connection->busySince_ >= connection->busyWait_) return 0;
  std::this_thread::sleep_for(kBusyStep);
  return 1;
}

int SqliteConnection::Interrupted(void* self) {
  const auto* connection = static_cast<SqliteConnection*>(self);
  return connection->interruption_->Raised() ? 1 : 0;
}

DbExpected<void> SqliteConnection::Open(const QString& path, SqliteAccess access) {
  QByteArray name = path.toUtf8();
  if (access == SqliteAccess::Immutable) {
    name = "file:" + QUrl::toPercentEncoding(path, "/") + "?immutable=1";
  }
  sqlite3* raw = nullptr;
  // A connection serves one thread at a time, so SQLite need not lock it on every call.
  const int code =
      sqlite3_open_v2(name.constData(), &raw, OpenFlags(access) | SQLITE_OPEN_NOMUTEX, nullptr);
  db_.reset(raw);
  if (code != SQLITE_OK) {
    auto error = Check(code);
    db_.reset();
    return error;
  }
  sqlite3_extended_result_codes(raw, 1);
  const bool writes = access == SqliteAccess::ReadWrite || access == SqliteAccess::ReadWriteCreate;
  // SQLite quietly opens a file it may not write read-only; say so before a read leaves
  // write-ahead companions beside a file that no write can reach.
  if (writes && sqlite3_db_readonly(raw, "main") == 1) {
    db_.reset();
    return std::unexpected(
        DbError{SQLITE_READONLY, QString::fromUtf8(sqlite3_errstr(SQLITE_READONLY))});
  }
  sqlite3_busy_handler(raw, &SqliteConnection::WaitWhileBusy, this);
  if (interruption_) {
    sqlite3_progress_handler(raw, kStepsBetweenChecks, &SqliteConnection::Interrupted, this);
  }
  // Full syncs: a committed row survives a crash or a power loss.
  return writes ? Execute("PRAGMA synchronous=FULL") : DbExpected<void>();
}

DbExpected<void> SqliteConnection::Execute(const char* sql) {
  return Check(sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr));
}

DbExpected<SqliteConnection::Statement> SqliteConnection::Prepare(const char* sql,
                                                                  SqlValues values) {
  sqlite3_stmt* raw = nullptr;
  if (auto prepared = Check(sqlite3_prepare_v2(db_.get(), sql, -1, &raw, nullptr)); !prepared) {
    return std::unexpected(prepared.error());
  }
  Statement statement(raw);
  const int count = sqlite3_bind_parameter_count(raw);
  for (int index = 1; index <= count; ++index) {
    const int number = ValueNumber(raw, index);
    if (number < 1 || number > static_cast<int>(values.size())) {
      return std::unexpected(
          DbError{SQLITE_RANGE, QStringLiteral("no value for parameter %1").arg(index)});
    }
    const SqlValue& value = values.begin()[number - 1];
    int code = SQLITE_OK;
    if (const auto* whole = std::get_if<qint64>(&value)) {
      code = sqlite3_bind_int64(raw, index, *whole);
    } else {
      const QString& text = std::get<QString>(value);
      code =
          sqlite3_bind_text16(raw, index, text.utf16(),
                              static_cast<int>(text.size() * sizeof(char16_t)), SQLITE_TRANSIENT);
    }
    if (auto bound = Check(code); !bound) return std::unexpected(bound.error());
  }
  return statement;
}

DbExpected<void> SqliteConnection::Run(const char* sql, SqlValues values) {
  auto statement = Prepare(sql, values);
  if (!statement) return std::unexpected(statement.error());
  return Check(sqlite3_step(statement->get()));
}

DbExpected<std::vector<SqlRow>> SqliteConnection::Query(const char* sql, SqlValues values) {
  auto statement = Prepare(sql, values);
  if (!statement) return std::unexpected(statement.error());
  sqlite3_stmt* raw = statement->get();
  std::vector<SqlRow> rows;
  int code = SQLITE_ROW;
  while ((code = sqlite3_step(raw)) == SQLITE_ROW) {
    SqlRow& row = rows.emplace_back(static_cast<size_t>(sqlite3_column_count(raw)));
    for (int column = 0; column < static_cast<int>(row.size()); ++column) {
      if (sqlite3_column_type(raw, column) == SQLITE_NULL) continue;
      // As stored: SQLite's own conversion to UTF-16 costs an allocation per field.
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(raw, column));
      row[column] = QString::fromUtf8(text, sqlite3_column_bytes(raw, column));
    }
  }
  if (auto done = Check(code); !done) return std::unexpected(done.error());
  return rows;
}

DbExpected<void> SqliteConnection::Visit(const char* sql, SqlValues values,
                                         const std::function<void(SqlFieldsView)>& visit) {
  auto statement = Prepare(sql, values);
  if (!statement) return std::unexpected(statement.error());
  sqlite3_stmt* raw = statement->get();
  std::vector<std::optional<QByteArrayView>> fields(static_cast<size_t>(sqlite3_column_count(raw)));
  int code = SQLITE_ROW;
  while ((code = sqlite3_step(raw)) == SQLITE_ROW) {
    for (int column = 0; column < static_cast<int>(fields.size()); ++column) {
      fields[column].reset();
      if (sqlite3_column_type(raw, column) == SQLITE_NULL) continue;
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(raw, column));
      fields[column] = QByteArrayView(text, sqlite3_column_bytes(raw, column));
    }
    visit(fields);
  }
  return Check(code);
}

DbExpected<void> SqliteConnection::TryWriteAheadLog() {
  // Waiting here would only delay the write that follows, which waits on its own.
  busyWait_ = 0ms;
  auto switched = Execute("PRAGMA journal_mode=WAL");
  busyWait_ = kBusyWait;
  if (!switched && (switched.error().code & 0xff) == SQLITE_BUSY) return {};
  return switched;
}

}  // namespace skyloom

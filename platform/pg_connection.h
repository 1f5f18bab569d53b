#pragma once

#include <QString>
#include <QStringList>
#include <chrono>
#include <initializer_list>
#include <memory>
#include <optional>
#include <vector>

#include "platform/db_types.h"

struct pg_conn;
struct pg_result;

namespace skyloom {

// A connection string as postgresql://user@host:port/db, never with its password, for
// messages and logs. Takes URIs, key=value strings and plain database names alike.
QString PgConnectionDescription(const QString& uri);

// One session with a PostgreSQL server; closed when the object goes. No error it returns
// holds the password, wherever libpq found it.
class PgConnection final {
 public:
  PgConnection();
  ~PgConnection();
  PgConnection(const PgConnection&) = delete;
  PgConnection& operator=(const PgConnection&) = delete;

  // Connects to a postgresql:// URI or anything else libpq accepts, ending any earlier
  // session. The server cancels every statement that runs longer than `statementTimeout`,
  // lock waits included; zero means no limit.
  std::optional<DbError> Open(const QString& uri, std::chrono::milliseconds connectTimeout,
                              std::chrono::milliseconds statementTimeout);
  // False once the server has gone away; Open again to reconnect.
  bool Healthy() const;

  // Runs statements without parameters or results; several may be separated by semicolons.
  std::optional<DbError> Execute(const char* sql);
  // Runs one statement with its values bound to $1, $2…, never spliced into the text.
  std::optional<DbError> Run(const char* sql, std::initializer_list<SqlValue> values);
  // Every row of the result, each field as text.
  std::optional<DbError> Query(const char* sql, std::initializer_list<SqlValue> values,
                               std::vector<SqlRow>& rows);
  // First field of the first row: nullopt inside when there is no row or the field is null.
  std::optional<DbError> QueryText(const char* sql, std::initializer_list<SqlValue> values,
                                   std::optional<QString>& field);
  // First field of the first row as a number; 0 when there is no row or the field is null.
  std::optional<DbError> QueryInt(const char* sql, std::initializer_list<SqlValue> values,
                                  qint64& value);

 private:
  struct Closer {
    void operator()(pg_conn* connection) const;
  };
  struct ResultClear {
    void operator()(pg_result* result) const;
  };
  using Result = std::unique_ptr<pg_result, ResultClear>;

  std::optional<DbError> Send(const char* sql, std::initializer_list<SqlValue> values,
                              Result& result);
  std::optional<DbError> Failure(const pg_result* result) const;

  std::unique_ptr<pg_conn, Closer> connection_;
  QStringList passwords_;  // scrubbed from every message
};

}  // namespace skyloom

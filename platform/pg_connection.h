#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <chrono>
#include <memory>
#include <optional>
#include <vector>

#include "platform/db_types.h"
#include "platform/sql_session.h"

struct pg_conn;
struct pg_result;

namespace skyloom {

class Interruption;

// A connection string as postgresql://user@host:port/db, never with its password, for
// messages and logs. Takes URIs, key=value strings and plain database names alike.
QString PgConnectionDescription(const QString& uri);

// The SQLSTATE of a call that this side gave up on: its deadline passed or it was
// interrupted. The session is dropped then; the server may still be alive.
inline constexpr char kPgGivenUp[] = "57014";

// Which server of a multi-host address a session goes to, whatever the address asks for.
enum class PgTarget { Primary, Standby, Any };

// Whether a failure shows that the session is of no more use for writing: the server went
// away, is shutting down, or turned read-only (a standby, or read-only by its settings).
bool PgSessionLost(const DbError& error);

// One session with a PostgreSQL server; closed when the object goes. No error it returns
// holds the password, wherever libpq found it. Every wait has a deadline of its own, kept on
// this side even when the server never answers.
class PgConnection final : public SqlSession {
 public:
  // A raised `interruption` ends the connect or statement under way as given up.
  explicit PgConnection(const Interruption* interruption = nullptr);
  ~PgConnection() override;
  Q_DISABLE_COPY_MOVE(PgConnection)

  // Connects to a postgresql:// URI or anything else libpq accepts, ending any earlier
  // session, within `connectTimeout`. The server cancels every statement that runs longer
  // than `statementTimeout`, lock waits included, and this side gives up a little later;
  // zero means no limit. A `readOnly` session cannot write. Of several hosts, the first that
  // is what `target` asks for is taken.
  DbExpected<void> Open(const QString& uri, std::chrono::milliseconds connectTimeout,
                        std::chrono::milliseconds statementTimeout, bool readOnly = false,
                        PgTarget target = PgTarget::Primary);
  // False once the server has gone away or a call was given up; Open again to reconnect.
  bool Healthy() const;
  // The server this session is on, as host:port.
  QString Server() const;
  // Whether that server is a primary rather than a standby in recovery, as it last said.
  bool OnPrimary() const;

  // Waits for a notification on a channel this session listens to, at most `timeout`; whether
  // one came (all that came are taken). A raised interruption ends the wait without one and
  // keeps the session.
  DbExpected<bool> AwaitNotification(std::chrono::milliseconds timeout);

  DbExpected<void> Execute(const char* sql) override;
  // Values go to $1, $2…
  DbExpected<void> Run(const char* sql, SqlValues values) override;
  DbExpected<std::vector<SqlRow>> Query(const char* sql, SqlValues values) override;

 private:
  struct Closer {
    void operator()(pg_conn* connection) const;
  };
  struct ResultClear {
    void operator()(pg_result* result) const;
  };
  using Result = std::unique_ptr<pg_result, ResultClear>;
  using Deadline = std::optional<std::chrono::steady_clock::time_point>;
  enum class Wait { Ready, Expired, Interrupted };

  DbExpected<void> Connect(const QString& uri, const QByteArray& options, PgTarget target,
                           std::chrono::milliseconds timeout);
  Wait Await(bool read, bool write, Deadline deadline) const;
  // Sends what `send` queued and waits for every result; the first failure counts.
  template <typename Sender>
  DbExpected<Result> Exchange(Sender send);
  DbExpected<Result> Send(const char* sql, SqlValues values);
  DbError GiveUp(Wait why);
  DbError Lost();
  DbError Failure(const pg_result* result) const;

  const Interruption* interruption_;
  std::unique_ptr<pg_conn, Closer> connection_;
  std::chrono::milliseconds statementTimeout_{0};
  QStringList passwords_;  // scrubbed from every message
};

}  // namespace skyloom

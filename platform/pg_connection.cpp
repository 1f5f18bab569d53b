#include "platform/pg_connection.h"

#include <poll.h>

#include <QRegularExpression>
#include <algorithm>
#include <cerrno>
#include <thread>

#include "platform/interruption.h"
#include "platform/libpq_library.h"

namespace skyloom {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// libpq's own failures carry no SQLSTATE; they are filed under the codes JDBC uses for them.
constexpr char kCannotConnect[] = "08001";
constexpr char kNotConnected[] = "08003";
constexpr char kConnectionLost[] = "08006";
constexpr char kClientFailure[] = "XX000";
// The server's answer to a 0x00 byte in text.
constexpr char kUntranslatable[] = "22021";

// The server's own statement limit answers first; this side waits a little longer for it.
constexpr auto kAnswerMargin = 2s;
constexpr Oid kInt8Type = 20;

// A peer that vanished without a word is noticed within about half a minute, idle or not.
// Before the address in the keywords, so that one given there wins.
constexpr const char* kTcpKeywords[] = {"keepalives", "keepalives_idle", "keepalives_interval",
                                        "keepalives_count", "tcp_user_timeout"};
constexpr const char* kTcpValues[] = {"1", "10", "5", "3", "20000"};

struct OptionsFree {
  void operator()(PQconninfoOption* options) const { Pq().PQconninfoFree(options); }
};
using Options = std::unique_ptr<PQconninfoOption, OptionsFree>;

// The packing the server uses for its own error codes (MAKE_SQLSTATE), so no error is 0.
int PackSqlState(const QString& state) {
  int code = 0;
  for (qsizetype i = 0; i < std::min<qsizetype>(state.size(), 5); ++i) {
    code |= ((state[i].unicode() - '0') & 0x3F) << (6 * i);
  }
  return code;
}

DbError Error(const QString& state, const QString& message) {
  return DbError{PackSqlState(state), message, state};
}

// libpq's messages may quote pieces of the connection string.
QString WithoutPasswords(QString text, const QStringList& passwords) {
  for (const QString& password : passwords) {
    if (!password.isEmpty()) text.replace(password, QStringLiteral("********"));
  }
  return text;
}

// libpq expands the dbname into a whole connection string only when it looks like one.
bool IsConnectionString(const QString& uri) {
  return uri.startsWith(QLatin1String("postgresql://")) ||
         uri.startsWith(QLatin1String("postgres://")) || uri.contains(QLatin1Char('='));
}

QString Option(const PQconninfoOption* options, const char* keyword) {
  for (const PQconninfoOption* option = options; option && option->keyword; ++option) {
    if (qstrcmp(option->keyword, keyword) == 0) return QString::fromUtf8(option->val);
  }
  return {};
}

QString Describe(const PQconninfoOption* options) {
  const QString user = Option(options, "user");
  const QStringList hosts = Option(options, "host").split(QLatin1Char(','));
  const QStringList ports = Option(options, "port").split(QLatin1Char(','));
  QStringList places;
  for (qsizetype i = 0; i < hosts.size(); ++i) {
    QString place = hosts[i].contains(QLatin1Char(':')) ? u'[' + hosts[i] + u']' : hosts[i];
    const QString port = ports.size() == hosts.size() ? ports[i] : ports.first();
    if (!port.isEmpty()) place += u':' + port;
    places << place;
  }
  return QStringLiteral("postgresql://") + (user.isEmpty() ? QString() : user + u'@') +
         places.join(u',') + u'/' + Option(options, "dbname");
}

// The options, or why libpq refused the string: only the name of an unknown parameter is
// taken from its complaint, which may quote the rest, password and all.
std::expected<Options, QString> Parse(const QString& uri) {
  if (!LoadLibpq()) return std::unexpected(LibpqProblem());
  char* complaint = nullptr;
  Options options(Pq().PQconninfoParse(uri.toUtf8().constData(), &complaint));
  const QString said = QString::fromUtf8(complaint);
  Pq().PQfreemem(complaint);
  if (options) return options;
  static const QRegularExpression unknown(
      QStringLiteral(R"(^(?:invalid URI query parameter:|invalid connection option) ("[^"]*"))"));
  if (const auto match = unknown.match(said); match.hasMatch()) {
    return std::unexpected(
        QStringLiteral("the database address has an unknown parameter %1").arg(match.captured(1)));
  }
  return std::unexpected(QStringLiteral(
      "the database address is neither a PostgreSQL URI nor a key=value connection string"));
}

QByteArray SessionOptions(const QString& existing, std::chrono::milliseconds timeout) {
  const QString ours = QStringLiteral("-c statement_timeout=%1").arg(timeout.count());
  return (existing.isEmpty() ? ours : existing + u' ' + ours).toUtf8();
}

const char* SessionAttributes(PgTarget target) {
  switch (target) {
    case PgTarget::Standby:
      return "prefer-standby";
    case PgTarget::Any:
      return "any";
    case PgTarget::Primary:
      break;
  }
  return "read-write";
}

// PQcancel waits for the server's answer without a limit, and a frozen server never gives
// it, so no caller waits with it.
void CancelInBackground(PGconn* connection) {
  PGcancel* cancel = Pq().PQgetCancel(connection);
  if (!cancel) return;
  std::thread([cancel] {
    char reason[256];
    Pq().PQcancel(cancel, reason, sizeof reason);
    Pq().PQfreeCancel(cancel);
  }).detach();
}

bool Succeeded(const PGresult* result) {
  const ExecStatusType status = result ? Pq().PQresultStatus(result) : PGRES_FATAL_ERROR;
  return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK || status == PGRES_EMPTY_QUERY;
}

}  // namespace

bool PgSessionLost(const DbError& error) {
  const QString& state = error.sqlState;
  // 25006: a write on a read-only server; 57P01-57P03: shut down, crashed, starting up.
  return state.startsWith(QLatin1String("08")) || state.startsWith(QLatin1String("57P")) ||
         state == QLatin1String("25006") || state == QLatin1String(kPgGivenUp);
}

QString PgConnectionDescription(const QString& uri) {
  if (!IsConnectionString(uri)) return QStringLiteral("postgresql:///") + uri;
  const auto options = Parse(uri);
  if (options) return Describe(options->get());
  return LoadLibpq() ? QStringLiteral("(unreadable PostgreSQL address)")
                     : QStringLiteral("(a PostgreSQL server, without its client library)");
}

void PgConnection::Closer::operator()(pg_conn* connection) const { Pq().PQfinish(connection); }
void PgConnection::ResultClear::operator()(pg_result* result) const { Pq().PQclear(result); }

PgConnection::PgConnection(const Interruption* interruption) : interruption_(interruption) {}
PgConnection::~PgConnection() = default;

DbExpected<void> PgConnection::Open(const QString& uri, std::chrono::milliseconds connectTimeout,
                                    std::chrono::milliseconds statementTimeout, bool readOnly,
                                    PgTarget target) {
  connection_.reset();
  passwords_.clear();
  statementTimeout_ = statementTimeout;
  if (uri.contains(QChar(0))) {
    return std::unexpected(
        Error(kCannotConnect, QStringLiteral("cannot connect: the database "
                                             "address contains a NUL character")));
  }
  QString userOptions = qEnvironmentVariable("PGOPTIONS");
  if (IsConnectionString(uri)) {
    const auto parsed = Parse(uri);
    if (!parsed)
      return std::unexpected(
          Error(kCannotConnect, QStringLiteral("cannot connect: ") + parsed.error()));
    passwords_ << Option(parsed->get(), "password");
    if (const QString options = Option(parsed->get(), "options"); !options.isEmpty()) {
      userOptions = options;
    }
  }
  auto connected =
      Connect(uri, SessionOptions(userOptions, statementTimeout), target, connectTimeout);
  // Set once connected, not in the options: libpq would take such a session for a
  // read-only server and pass over the primary.
  if (connected && readOnly) connected = Execute("SET default_transaction_read_only = on");
  if (!connected) {
    connection_.reset();
    passwords_.clear();
  }
  return connected;
}

DbExpected<void> PgConnection::Connect(const QString& uri, const QByteArray& options,
                                       PgTarget target, std::chrono::milliseconds timeout) {
  const QByteArray address = uri.toUtf8();
  std::vector<const char*> keywords(std::begin(kTcpKeywords), std::end(kTcpKeywords));
  std::vector<const char*> values(std::begin(kTcpValues), std::end(kTcpValues));
  // Our options come after the address, so they win; the user's own options are kept. A
  // fallback, so that an application_name in the address or PGAPPNAME still counts.
  keywords.insert(keywords.end(), {"dbname", "options", "target_session_attrs",
                                   "fallback_application_name", "client_encoding", nullptr});
  values.insert(values.end(), {address.constData(), options.constData(), SessionAttributes(target),
                               "skyloom", "UTF8", nullptr});
  if (!LoadLibpq()) return std::unexpected(Error(kCannotConnect, LibpqProblem()));
  connection_.reset(Pq().PQconnectStartParams(keywords.data(), values.data(), 1));
  if (!connection_) {
    return std::unexpected(Error(kCannotConnect, QStringLiteral("cannot connect: out of memory")));
  }
  PGconn* connection = connection_.get();
  // PQpass also knows a password that came from ~/.pgpass or PGPASSWORD.
  passwords_ << QString::fromUtf8(Pq().PQpass(connection));

  const Deadline deadline = timeout > 0ms ? Deadline(SteadyClock::now() + timeout) : std::nullopt;
  QString reason;
  PostgresPollingStatusType state =
      Pq().PQstatus(connection) == CONNECTION_BAD ? PGRES_POLLING_FAILED : PGRES_POLLING_WRITING;
  while (state != PGRES_POLLING_OK && state != PGRES_POLLING_FAILED) {
    const Wait wait =
        Await(state == PGRES_POLLING_READING, state == PGRES_POLLING_WRITING, deadline);
    if (wait != Wait::Ready) {
      reason =
          wait == Wait::Expired ? QStringLiteral("timeout expired") : QStringLiteral("interrupted");
      break;
    }
    state = Pq().PQconnectPoll(connection);
  }
  if (state != PGRES_POLLING_OK) {
    if (reason.isEmpty()) reason = QString::fromUtf8(Pq().PQerrorMessage(connection)).simplified();
    const Options effective(Pq().PQconninfo(connection));
    const QString message =
        QStringLiteral("cannot connect to %1: %2").arg(Describe(effective.get()), reason);
    return std::unexpected(Error(kCannotConnect, WithoutPasswords(message, passwords_)));
  }
  Pq().PQsetnonblocking(connection, 1);
  // Notices such as "relation already exists, skipping" would otherwise go to stderr.
  Pq().PQsetNoticeProcessor(
      connection, [](void*, const char*) {}, nullptr);
  return {};
}

bool PgConnection::Healthy() const {
  return connection_ && Pq().PQstatus(connection_.get()) == CONNECTION_OK;
}

QString PgConnection::Server() const {
  if (!connection_) return {};
  QString host = QString::fromUtf8(Pq().PQhost(connection_.get()));
  if (host.contains(QLatin1Char(':'))) host = u'[' + host + u']';
  return host + u':' + QString::fromUtf8(Pq().PQport(connection_.get()));
}

bool PgConnection::OnPrimary() const {
  // Servers before 14 do not say; they are taken at their word as a primary.
  const char* standby =
      connection_ ? Pq().PQparameterStatus(connection_.get(), "in_hot_standby") : nullptr;
  return connection_ && qstrcmp(standby, "on") != 0;
}

DbExpected<bool> PgConnection::AwaitNotification(std::chrono::milliseconds timeout) {
  if (!Healthy()) return std::unexpected(Error(kNotConnected, QStringLiteral("not connected")));
  const Deadline deadline = SteadyClock::now() + timeout;
  for (;;) {
    if (!Pq().PQconsumeInput(connection_.get())) return std::unexpected(Lost());
    bool came = false;
    while (PGnotify* notice = Pq().PQnotifies(connection_.get())) {
      Pq().PQfreemem(notice);
      came = true;
    }
    if (came) return true;
    if (Await(true, false, deadline) != Wait::Ready) return false;
  }
}

PgConnection::Wait PgConnection::Await(bool read, bool write, Deadline deadline) const {
  pollfd waits[2] = {{Pq().PQsocket(connection_.get()),
                      static_cast<short>((read ? POLLIN : 0) | (write ? POLLOUT : 0)), 0},
                     {interruption_ ? interruption_->Descriptor() : -1, POLLIN, 0}};
  for (;;) {
    if (interruption_ && interruption_->Raised()) return Wait::Interrupted;
    int timeoutMs = -1;
    if (deadline) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(*deadline - SteadyClock::now());
      if (left <= 0ms) return Wait::Expired;
      timeoutMs = static_cast<int>(std::min<qint64>(left.count(), 60'000));
    }
    const int ready = ::poll(waits, 2, timeoutMs);
    if (ready < 0 && errno != EINTR) return Wait::Ready;  // libpq finds out what is wrong
    if (ready > 0 && waits[0].revents != 0) return Wait::Ready;
  }
}

DbError PgConnection::GiveUp(Wait why) {
  // Cancelled, or the server would hold this session's locks until its own limit ends it.
  CancelInBackground(connection_.get());
  connection_.reset();
  const QString message =
      why == Wait::Interrupted
          ? QStringLiteral("interrupted")
          : QStringLiteral("the server did not answer within %1 s")
                .arg(std::chrono::duration<double>(statementTimeout_ + kAnswerMargin).count());
  return Error(kPgGivenUp, message);
}

DbError PgConnection::Lost() {
  const QString message = QString::fromUtf8(Pq().PQerrorMessage(connection_.get())).simplified();
  const QString state = Healthy() ? kClientFailure : kConnectionLost;
  return Error(state, WithoutPasswords(message, passwords_));
}

DbError PgConnection::Failure(const pg_result* result) const {
  const ExecStatusType status = result ? Pq().PQresultStatus(result) : PGRES_FATAL_ERROR;
  QString message;
  if (const char* primary =
          result ? Pq().PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr) {
    message = QString::fromUtf8(primary);
    if (const char* detail = Pq().PQresultErrorField(result, PG_DIAG_MESSAGE_DETAIL)) {
      message += QStringLiteral(" (%1)").arg(QString::fromUtf8(detail));
    }
  } else {
    const char* text =
        result ? Pq().PQresultErrorMessage(result) : Pq().PQerrorMessage(connection_.get());
    message = QString::fromUtf8(text).simplified();
  }
  if (message.isEmpty()) message = QString::fromUtf8(Pq().PQresStatus(status));

  QString state =
      QString::fromLatin1(result ? Pq().PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr);
  if (state.isEmpty()) state = Healthy() ? kClientFailure : kConnectionLost;
  return Error(state, WithoutPasswords(message, passwords_));
}

template <typename Sender>
DbExpected<PgConnection::Result> PgConnection::Exchange(Sender send) {
  if (!connection_) {
    return std::unexpected(Error(kNotConnected, QStringLiteral("not connected to the database")));
  }
  PGconn* connection = connection_.get();
  const Deadline deadline = statementTimeout_ > 0ms
                                ? Deadline(SteadyClock::now() + statementTimeout_ + kAnswerMargin)
                                : std::nullopt;
  if (!send(connection)) return std::unexpected(Failure(nullptr));
  for (int unsent = Pq().PQflush(connection); unsent != 0; unsent = Pq().PQflush(connection)) {
    if (unsent < 0) return std::unexpected(Lost());
    if (const Wait wait = Await(true, true, deadline); wait != Wait::Ready) {
      return std::unexpected(GiveUp(wait));
    }
    if (!Pq().PQconsumeInput(connection)) return std::unexpected(Lost());
  }
  Result kept;
  for (;;) {
    while (Pq().PQisBusy(connection)) {
      if (const Wait wait = Await(true, false, deadline); wait != Wait::Ready) {
        return std::unexpected(GiveUp(wait));
      }
      if (!Pq().PQconsumeInput(connection)) return std::unexpected(Lost());
    }
    Result next(Pq().PQgetResult(connection));
    if (!next) break;
    // Of several statements, the first failure tells, or else the last result.
    if (!kept || Succeeded(kept.get())) kept = std::move(next);
  }
  if (!Succeeded(kept.get())) return std::unexpected(Failure(kept.get()));
  return kept;
}

DbExpected<PgConnection::Result> PgConnection::Send(const char* sql, SqlValues values) {
  std::vector<QByteArray> texts;
  std::vector<Oid> types;
  for (const SqlValue& value : values) {
    if (const auto* number = std::get_if<qint64>(&value)) {
      texts.push_back(QByteArray::number(*number));
      // Typed, so that `$1 + 1` works.
      types.push_back(kInt8Type);
    } else {
      const QString& text = std::get<QString>(value);
      // libpq reads text parameters up to the first NUL and would store the rest silently cut.
      if (text.contains(QChar(0))) {
        return std::unexpected(
            Error(kUntranslatable, QStringLiteral("text contains a NUL character (U+0000), which "
                                                  "PostgreSQL cannot store")));
      }
      texts.push_back(text.toUtf8());
      // Untyped, so that the server reads it as whatever the column or function wants.
      types.push_back(0);
    }
  }
  std::vector<const char*> pointers;
  for (const QByteArray& text : texts) pointers.push_back(text.constData());
  return Exchange([&](PGconn* connection) {
    return Pq().PQsendQueryParams(connection, sql, static_cast<int>(pointers.size()), types.data(),
                                  pointers.data(), nullptr, nullptr, 0);
  });
}

DbExpected<void> PgConnection::Execute(const char* sql) {
  auto result = Exchange([sql](PGconn* connection) { return Pq().PQsendQuery(connection, sql); });
  if (!result) return std::unexpected(result.error());
  return {};
}

DbExpected<void> PgConnection::Run(const char* sql, SqlValues values) {
  auto result = Send(sql, values);
  if (!result) return std::unexpected(result.error());
  return {};
}

DbExpected<std::vector<SqlRow>> PgConnection::Query(const char* sql, SqlValues values) {
  auto result = Send(sql, values);
  if (!result) return std::unexpected(result.error());
  const PGresult* r = result->get();
  const int columns = Pq().PQnfields(r);
  std::vector<SqlRow> rows;
  for (int row = 0; row < Pq().PQntuples(r); ++row) {
    SqlRow& fields = rows.emplace_back();
    for (int column = 0; column < columns; ++column) {
      if (Pq().PQgetisnull(r, row, column)) {
        fields.emplace_back();
      } else {
        fields.emplace_back(
            QString::fromUtf8(Pq().PQgetvalue(r, row, column), Pq().PQgetlength(r, row, column)));
      }
    }
  }
  return rows;
}

}  // namespace skyloom

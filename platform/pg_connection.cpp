#include "platform/pg_connection.h"

#include <libpq-fe.h>

#include <algorithm>

namespace skyloom {
namespace {

// libpq's own failures carry no SQLSTATE; they are filed under the codes JDBC uses for them.
constexpr char kCannotConnect[] = "08001";
constexpr char kNotConnected[] = "08003";
constexpr char kConnectionLost[] = "08006";
constexpr char kClientFailure[] = "XX000";
// The server's answer to a 0x00 byte in text.
constexpr char kUntranslatable[] = "22021";

// Below this libpq waits 2 s anyway.
constexpr qint64 kMinConnectSeconds = 2;
constexpr Oid kInt8Type = 20;

struct OptionsFree {
  void operator()(PQconninfoOption* options) const { PQconninfoFree(options); }
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

Options Parse(const QString& uri) {
  char* complaint = nullptr;
  Options options(PQconninfoParse(uri.toUtf8().constData(), &complaint));
  PQfreemem(complaint);
  return options;
}

QString StatementTimeoutOptions(const QString& existing, std::chrono::milliseconds timeout) {
  const QString ours = QStringLiteral("-c statement_timeout=%1").arg(timeout.count());
  return existing.isEmpty() ? ours : existing + u' ' + ours;
}

}  // namespace

QString PgConnectionDescription(const QString& uri) {
  if (!IsConnectionString(uri)) return QStringLiteral("postgresql:///") + uri;
  const Options options = Parse(uri);
  return options ? Describe(options.get()) : QStringLiteral("(unreadable PostgreSQL address)");
}

void PgConnection::Closer::operator()(pg_conn* connection) const { PQfinish(connection); }
void PgConnection::ResultClear::operator()(pg_result* result) const { PQclear(result); }

PgConnection::PgConnection() = default;
PgConnection::~PgConnection() = default;

std::optional<DbError> PgConnection::Open(const QString& uri,
                                          std::chrono::milliseconds connectTimeout,
                                          std::chrono::milliseconds statementTimeout) {
  connection_.reset();
  passwords_.clear();
  if (uri.contains(QChar(0))) {
    return Error(kCannotConnect, QStringLiteral("cannot connect: the database address contains a "
                                                "NUL character"));
  }
  QString userOptions = qEnvironmentVariable("PGOPTIONS");
  if (IsConnectionString(uri)) {
    const Options parsed = Parse(uri);
    // Not libpq's complaint: it quotes the string, password and all.
    if (!parsed) {
      return Error(kCannotConnect,
                   QStringLiteral("cannot connect: the database address is neither a PostgreSQL "
                                  "URI nor a key=value connection string"));
    }
    passwords_ << Option(parsed.get(), "password");
    if (const QString options = Option(parsed.get(), "options"); !options.isEmpty()) {
      userOptions = options;
    }
  }

  const QByteArray address = uri.toUtf8();
  const qint64 seconds = (connectTimeout.count() + 999) / 1000;
  const QByteArray timeout = QByteArray::number(std::max(kMinConnectSeconds, seconds));
  // Our options come after the address, so they win; the user's own options are kept.
  const QByteArray options = StatementTimeoutOptions(userOptions, statementTimeout).toUtf8();
  // A fallback, so that an application_name in the address or PGAPPNAME still counts.
  const char* const keywords[] = {"dbname",          "connect_timeout",
                                  "options",         "fallback_application_name",
                                  "client_encoding", nullptr};
  const char* const values[] = {
      address.constData(), timeout.constData(), options.constData(), "skyloom", "UTF8", nullptr};
  connection_.reset(PQconnectdbParams(keywords, values, 1));
  if (!connection_) return Error(kCannotConnect, QStringLiteral("cannot connect: out of memory"));
  PGconn* connection = connection_.get();
  // PQpass also knows a password that came from ~/.pgpass or PGPASSWORD.
  passwords_ << QString::fromUtf8(PQpass(connection));

  if (PQstatus(connection) != CONNECTION_OK) {
    const Options effective(PQconninfo(connection));
    const QString message = QStringLiteral("cannot connect to %1: %2")
                                .arg(Describe(effective.get()),
                                     QString::fromUtf8(PQerrorMessage(connection)).simplified());
    auto error = Error(kCannotConnect, WithoutPasswords(message, passwords_));
    connection_.reset();
    passwords_.clear();
    return error;
  }
  // Notices such as "relation already exists, skipping" would otherwise go to stderr.
  PQsetNoticeProcessor(
      connection, [](void*, const char*) {}, nullptr);
  return std::nullopt;
}

bool PgConnection::Healthy() const {
  return connection_ && PQstatus(connection_.get()) == CONNECTION_OK;
}

std::optional<DbError> PgConnection::Failure(const pg_result* result) const {
  const ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
  if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK || status == PGRES_EMPTY_QUERY) {
    return std::nullopt;
  }
  QString message;
  if (const char* primary =
          result ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr) {
    message = QString::fromUtf8(primary);
    if (const char* detail = PQresultErrorField(result, PG_DIAG_MESSAGE_DETAIL)) {
      message += QStringLiteral(" (%1)").arg(QString::fromUtf8(detail));
    }
  } else {
    const char* text = result ? PQresultErrorMessage(result) : PQerrorMessage(connection_.get());
    message = QString::fromUtf8(text).simplified();
  }
  if (message.isEmpty()) message = QString::fromUtf8(PQresStatus(status));

  QString state =
      QString::fromLatin1(result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr);
  if (state.isEmpty()) state = Healthy() ? kClientFailure : kConnectionLost;
  return Error(state, WithoutPasswords(message, passwords_));
}

std::optional<DbError> PgConnection::Send(const char* sql, std::initializer_list<SqlValue> values,
                                          Result& result) {
  if (!connection_) return Error(kNotConnected, QStringLiteral("not connected to the database"));
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
        return Error(kUntranslatable,
                     QStringLiteral("text contains a NUL character (U+0000), which PostgreSQL "
                                    "cannot store"));
      }
      texts.push_back(text.toUtf8());
      // Untyped, so that the server reads it as whatever the column or function wants.
      types.push_back(0);
    }
  }
  std::vector<const char*> pointers;
  for (const QByteArray& text : texts) pointers.push_back(text.constData());
  result.reset(PQexecParams(connection_.get(), sql, static_cast<int>(pointers.size()), types.data(),
                            pointers.data(), nullptr, nullptr, 0));
  return Failure(result.get());
}

std::optional<DbError> PgConnection::Execute(const char* sql) {
  if (!connection_) return Error(kNotConnected, QStringLiteral("not connected to the database"));
  const Result result(PQexec(connection_.get(), sql));
  return Failure(result.get());
}

std::optional<DbError> PgConnection::Run(const char* sql, std::initializer_list<SqlValue> values) {
  Result result;
  return Send(sql, values, result);
}

std::optional<DbError> PgConnection::Query(const char* sql, std::initializer_list<SqlValue> values,
                                           std::vector<SqlRow>& rows) {
  rows.clear();
  Result result;
  if (auto error = Send(sql, values, result)) return error;
  const PGresult* r = result.get();
  const int columns = PQnfields(r);
  for (int row = 0; row < PQntuples(r); ++row) {
    SqlRow& fields = rows.emplace_back();
    for (int column = 0; column < columns; ++column) {
      if (PQgetisnull(r, row, column)) {
        fields.emplace_back();
      } else {
        fields.emplace_back(
            QString::fromUtf8(PQgetvalue(r, row, column), PQgetlength(r, row, column)));
      }
    }
  }
  return std::nullopt;
}

std::optional<DbError> PgConnection::QueryText(const char* sql,
                                               std::initializer_list<SqlValue> values,
                                               std::optional<QString>& field) {
  field.reset();
  std::vector<SqlRow> rows;
  if (auto error = Query(sql, values, rows)) return error;
  if (!rows.empty() && !rows.front().empty()) field = rows.front().front();
  return std::nullopt;
}

std::optional<DbError> PgConnection::QueryInt(const char* sql,
                                              std::initializer_list<SqlValue> values,
                                              qint64& value) {
  value = 0;
  std::optional<QString> field;
  if (auto error = QueryText(sql, values, field)) return error;
  bool whole = true;
  if (field) value = field->toLongLong(&whole);
  if (!whole) return Error(kClientFailure, QStringLiteral("the result is not a whole number"));
  return std::nullopt;
}

}  // namespace skyloom

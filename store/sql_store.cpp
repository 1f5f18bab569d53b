#include "store/sql_store.h"

namespace skyloom {
namespace {

// PostgreSQL cannot hold U+0000 in text, and readers in C stop at it; both backends store the
// replacement character instead, so they keep and compare the same text.
QString Storable(QString text) { return text.replace(QChar(u'\0'), QChar(0xFFFD)); }

// Rows as the statements below select them: id, logtime, tqyb; logtime, errstat, errnum,
// errdes, position.
ForecastRow ToForecast(const SqlRow& row) {
  return ForecastRow{row[0].value_or(QString()).toLongLong(), row[1].value_or(QString()), row[2]};
}

AttemptRow ToAttempt(const SqlRow& row) {
  return AttemptRow{row[0].value_or(QString()), row[1].value_or(QString()),
                    row[2].value_or(QString()).toLongLong(), row[3].value_or(QString()),
                    row[4].value_or(QString())};
}

DbError ReadOnlyRefusal() {
  return DbError{-1, QStringLiteral("this store was opened for reading only")};
}

}  // namespace

SqlStore::SqlStore(QString description, const SqlDialect& dialect, StoreAccess access)
    : description_(std::move(description)), dialect_(dialect), access_(access) {
  const QByteArray now(dialect.now);
  insertForecast_ = "INSERT INTO tq(logtime, tqyb) VALUES (" + now + ", $1) RETURNING id";
  appendAttempt_ =
      "INSERT INTO tqlog(logtime, errstat, errnum, errdes) VALUES (" + now + ", $1, $2, $3)";
  newestForecasts_ = QByteArray("SELECT id, ") + dialect.logtime +
                     ", tqyb FROM tq WHERE $1 = 0 OR id < $1 ORDER BY id DESC LIMIT $2";
  const QByteArray attempts = QByteArray("SELECT ") + dialect.logtime +
                              ", errstat, errnum, errdes, " + dialect.position + " FROM tqlog ";
  const QByteArray newestFirst = QByteArray(dialect.order).replace(",", " DESC,") + " DESC";
  newestAttempts_ = attempts + "ORDER BY " + newestFirst + " LIMIT $1";
  attemptsBefore_ = attempts + "WHERE " + dialect.before + " ORDER BY " + newestFirst + " LIMIT $3";
  attemptsBetween_ = attempts + "WHERE logtime >= $1 AND logtime < $2 ORDER BY " + dialect.order;
}

SqlStore::~SqlStore() = default;

QString SqlStore::Hint(const DbError&) const { return {}; }

StoreError SqlStore::Failure(const DbError& error) const {
  // Failures to connect name the server already.
  QString message = error.message.contains(description_)
                        ? error.message
                        : QStringLiteral("Database %1: %2").arg(description_, error.message);
  return StoreError{error.code, message + Hint(error)};
}

void SqlStore::EndCall() {
  CloseSession();
  // An interruption ends one call, never the ones after it.
  interruption_.Clear();
}

// Only an attempt that cut a forecast out of the page is a success: a page without one is a
// failed attempt whatever came before, or a changed page would pass for an unchanged forecast.
StoreResult SqlStore::Record(const FetchResult& fetch) {
  const QString text = fetch.forecast ? Storable(*fetch.forecast) : QString();
  StoreResult result;
  const bool compared = !fetch.RequestFailed() && !text.isEmpty();
  if (compared) {
    result.outcome = StoreOutcome::Unchanged;
    result.logged = AttemptRow{{}, {}, 0, kNotWritten, {}};
  } else if (!fetch.RequestFailed()) {
    result.outcome = StoreOutcome::Empty;
    result.logged = AttemptRow{{}, {}, -1, kEmptyText, {}};
  } else {
    result.logged = AttemptRow{{}, {}, fetch.errorNumber, Storable(fetch.errorDescription), {}};
  }
  result.logged.status = result.logged.number == 0 ? kStatusFetched : kStatusFetchError;

  auto session = access_ == StoreAccess::ReadOnly ? std::unexpected(ReadOnlyRefusal())
                                                  : OpenSession(Use::Write);
  if (!session) {
    result.error = Failure(session.error());
  } else if (auto written = Write(**session, compared ? &text : nullptr, result); !written) {
    result.error = Failure(written.error());
    // Closing an SQLite connection rolls back too, but a kept session must be clean.
    (void)(*session)->Execute("ROLLBACK");
    if (result.outcome == StoreOutcome::Stored) {  // rolled back with the log row
      result.outcome = StoreOutcome::Unchanged;
      result.logged.description = kNotWritten;
      result.forecastId = 0;
    }
  }
  EndCall();
  return result;
}

// One transaction that excludes other writers, so that the comparison and the insert cannot
// interleave with another collector's.
DbExpected<void> SqlStore::Write(SqlSession& session, const QString* text, StoreResult& result) {
  if (auto begun = session.Execute(dialect_.beginWrite); !begun) return begun;
  if (text) {
    const auto newest = session.QueryText("SELECT tqyb FROM tq ORDER BY id DESC LIMIT 1", {});
    if (!newest) return std::unexpected(newest.error());
    // An empty table or a null newest row counts as different, so the first forecast is
    // stored and a null can never block every later one.
    if (!*newest || **newest != *text) {
      const auto id = session.QueryInt(insertForecast_.constData(), {*text});
      if (!id) return std::unexpected(id.error());
      if (dialect_.announce) {
        if (auto told = session.Run(dialect_.announce, {QString::number(*id)}); !told) return told;
      }
      result.outcome = StoreOutcome::Stored;
      result.forecastId = *id;
      result.logged.description = kWritten;
    }
  }
  const AttemptRow& row = result.logged;
  if (auto logged =
          session.Run(appendAttempt_.constData(), {row.status, row.number, row.description});
      !logged) {
    return logged;
  }
  return session.Execute("COMMIT");
}

StoreExpected<bool> SqlStore::CreateTables() {
  auto made = access_ == StoreAccess::ReadOnly ? std::unexpected(ReadOnlyRefusal()) : MakeTables();
  EndCall();
  if (!made) return std::unexpected(Failure(made.error()));
  return *made;
}

template <typename Row>
StoreExpected<std::vector<Row>> SqlStore::Read(const QByteArray& sql, SqlValues values,
                                               Row (*toRow)(const SqlRow&)) {
  DbExpected<std::vector<SqlRow>> found;
  for (int tries = 0; tries < 2; ++tries) {
    auto session = OpenSession(Use::Read);
    found = session ? (*session)->Query(sql.constData(), values) : std::unexpected(session.error());
    if (CloseSession()) break;
  }
  interruption_.Clear();
  if (!found) return std::unexpected(Failure(found.error()));
  std::vector<Row> rows;
  rows.reserve(found->size());
  for (const SqlRow& row : *found) rows.push_back(toRow(row));
  return rows;
}

StoreExpected<std::vector<ForecastRow>> SqlStore::NewestForecasts(int limit, qint64 beforeId) {
  return Read(newestForecasts_, {beforeId, qint64{limit}}, &ToForecast);
}

StoreExpected<std::vector<AttemptRow>> SqlStore::NewestAttempts(int limit) {
  return Read(newestAttempts_, {qint64{limit}}, &ToAttempt);
}

StoreExpected<std::vector<AttemptRow>> SqlStore::AttemptsBefore(const AttemptRow& row, int limit) {
  return Read(attemptsBefore_, {row.position, row.logtime, qint64{limit}}, &ToAttempt);
}

StoreExpected<std::vector<AttemptRow>> SqlStore::AttemptsBetween(const QString& from,
                                                                 const QString& to) {
  return Read(attemptsBetween_, {from, to}, &ToAttempt);
}

}  // namespace skyloom

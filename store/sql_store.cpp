#include "store/sql_store.h"

#include <QDateTime>
#include <QUuid>
#include <algorithm>
#include <limits>
#include <ranges>

#include "forecast/forecast_fields.h"
#include "platform/pg_connection.h"

namespace skyloom {

using namespace Qt::StringLiterals;

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

constexpr char kDeliveryColumns[] =
    "SELECT id, event_id, event, channel, message, created, tries, next_try, state, last_error, "
    "redelivered FROM outbox ";
constexpr char kReturnedDelivery[] =
    " RETURNING id, event_id, event, channel, message, created, tries, next_try, state, "
    "last_error, redelivered";
// A reader never upgrades the tables: those of an earlier release have no column for it.
constexpr char kOlderDeliveryColumns[] =
    "SELECT id, event_id, event, channel, message, created, tries, next_try, state, last_error, "
    "NULL FROM outbox ";
constexpr int kRedeliveredSince = 4;

DeliveryRow ToDelivery(const SqlRow& row) {
  const auto text = [&row](size_t i) { return row[i].value_or(QString()); };
  return DeliveryRow{
      text(0).toLongLong(),
      text(1),
      text(2),
      text(3),
      text(4),
      text(5).toLongLong(),
      text(6).toInt(),
      text(7).toLongLong(),
      text(8),
      text(9),
      row.size() > 10 && row[10] ? std::optional(row[10]->toLongLong()) : std::nullopt};
}

// The outbox's columns as a reader's session has them.
DbExpected<QByteArray> DeliveryColumns(SqlSession& session, SqlEngine engine) {
  const auto version = SchemaVersion(session, engine);
  if (!version) return std::unexpected(version.error());
  return QByteArray(*version >= kRedeliveredSince ? kDeliveryColumns : kOlderDeliveryColumns);
}

std::vector<DeliveryRow> ToDeliveries(const std::vector<SqlRow>& rows) {
  std::vector<DeliveryRow> deliveries;
  deliveries.reserve(rows.size());
  for (const SqlRow& row : rows) deliveries.push_back(ToDelivery(row));
  return deliveries;
}

qint64 SecondsSinceEpoch(const QString& logtime) {
  return QDateTime::fromString(logtime, u"yyyy-MM-dd HH:mm:ss"_s).toSecsSinceEpoch();
}

// The count and newest time of one table; `newest` is an SQL expression over its rows.
DbExpected<TableCheck> CountRows(SqlSession& session, const QString& table, const char* newest) {
  const QByteArray sql =
      "SELECT count(*), max(" + QByteArray(newest) + ") FROM " + table.toLatin1();
  const auto rows = session.Query(sql.constData(), {});
  if (!rows) return std::unexpected(rows.error());
  TableCheck check{table, 0, {}};
  if (rows->empty()) return check;
  check.rows = rows->front()[0].value_or(QString()).toLongLong();
  check.newest = rows->front()[1].value_or(QString());
  return check;
}

DbExpected<DatabaseCheck> Inspect(SqlSession& session, const SqlDialect& dialect) {
  DatabaseCheck check;
  if (dialect.server) {
    const auto server = session.Query(dialect.server, {});
    if (!server) return std::unexpected(server.error());
    if (!server->empty() && server->front().size() == 2) {
      check.server = server->front()[0].value_or(QString());
      check.primary = server->front()[1] == QStringLiteral("1");
    }
  }
  const auto version = SchemaVersion(session, dialect.engine);
  if (!version) return std::unexpected(version.error());
  check.schemaVersion = *version;
  if (dialect.integrityCheck) {
    const auto found = session.Query(dialect.integrityCheck, {});
    if (!found) return std::unexpected(found.error());
    for (const SqlRow& row : *found) {
      const QString line = row.empty() ? QString() : row[0].value_or(QString());
      if (line != u"ok"_s) check.problems << line;
    }
  }
  for (const QString& table : {u"tq"_s, u"tqlog"_s}) {
    const auto counted = CountRows(session, table, dialect.logtime);
    if (!counted) return std::unexpected(counted.error());
    check.tables.push_back(*counted);
  }
  const auto outbox = session.QueryInt(dialect.hasOutbox, {});
  if (!outbox) return std::unexpected(outbox.error());
  TableCheck deliveries{u"outbox"_s, std::nullopt, {}};
  if (*outbox) {
    const auto counted = CountRows(session, deliveries.name, "created");
    if (!counted) return std::unexpected(counted.error());
    deliveries = *counted;
    if (!deliveries.newest.isEmpty()) {
      deliveries.newest = QDateTime::fromSecsSinceEpoch(deliveries.newest.toLongLong())
                              .toString(u"yyyy-MM-dd HH:mm:ss"_s);
    }
  }
  check.tables.push_back(deliveries);
  return check;
}

DbError ReadOnlyRefusal() {
  return DbError{-1, QStringLiteral("this store was opened for reading only")};
}

}  // namespace

SqlStore::SqlStore(QString description, const SqlDialect& dialect, StoreAccess access)
    : description_(std::move(description)), dialect_(dialect), access_(access) {
  insertForecast_ = "INSERT INTO tq(logtime, tqyb) VALUES ($1, $2) RETURNING id";
  appendAttempt_ = "INSERT INTO tqlog(logtime, errstat, errnum, errdes) VALUES ($1, $2, $3, $4)";
  newestForecast_ =
      QByteArray("SELECT id, ") + dialect.logtime + ", tqyb FROM tq ORDER BY id DESC LIMIT 1";
  newestForecasts_ = QByteArray("SELECT id, ") + dialect.logtime +
                     ", tqyb FROM tq WHERE $1 = 0 OR id < $1 ORDER BY id DESC LIMIT $2";
  // Named apart, or ORDER BY ctid would sort a server's positions as text.
  const QByteArray attempts = QByteArray("SELECT ") + dialect.logtime +
                              ", errstat, errnum, errdes, " + dialect.position +
                              " AS position FROM tqlog ";
  const QByteArray newestFirst = QByteArray(dialect.order).replace(",", " DESC,") + " DESC";
  newestAttempts_ = attempts + "ORDER BY " + newestFirst + " LIMIT $1";
  attemptsBefore_ = attempts + "WHERE " + dialect.before + " ORDER BY " + newestFirst + " LIMIT $3";
  attemptsBetween_ = attempts + "WHERE logtime >= $1 AND logtime < $2 ORDER BY " + dialect.order;
  newestStatus_ = "SELECT errstat FROM tqlog ORDER BY " + newestFirst + " LIMIT 1";
  lastSuccess_ = attempts + "WHERE errstat = $1 ORDER BY " + newestFirst + " LIMIT 1";
  countAfter_ = QByteArray("SELECT count(*) FROM tqlog WHERE ") + dialect.after;
  // tqlog has no key: a batch is named by where its rows lie.
  removeAttempts_ = QByteArray("DELETE FROM tqlog WHERE ") + dialect.rowKey + " IN (SELECT " +
                    dialect.rowKey + " FROM tqlog WHERE logtime < $1 LIMIT $2) RETURNING 1";
  insertDelivery_ =
      "INSERT INTO outbox(event_id, event, channel, message, created, next_try) "
      "VALUES ($1, $2, $3, $4, $5, $6)";
  forecastsAfter_ = QByteArray("SELECT id, ") + dialect.logtime +
                    ", tqyb FROM tq WHERE id > $1 AND logtime >= $2 AND logtime < $3 "
                    "ORDER BY id LIMIT $4";
  // Numbered apart: a server wants a type for every value it is given, used or not.
  attemptsFromStart_ =
      attempts + "WHERE logtime >= $1 AND logtime < $2 ORDER BY " + dialect.order + " LIMIT $3";
  attemptsAfter_ = attempts + "WHERE " + dialect.after +
                   " AND logtime >= $3 AND logtime < $4 ORDER BY " + dialect.order + " LIMIT $5";
}

SqlStore::~SqlStore() = default;

QString SqlStore::Hint(const DbError&) const { return {}; }

StoreError SqlStore::Failure(const DbError& error) const {
  // Failures to connect name the server already.
  QString message = error.message.contains(description_)
                        ? error.message
                        : QStringLiteral("Database %1: %2").arg(description_, error.message);
  return StoreError{error.code, message + Hint(error), PgSessionLost(error)};
}

void SqlStore::EndCall() {
  CloseSession();
  // An interruption ends one call, never the ones after it.
  interruption_.Clear();
}

DbExpected<SqlSession*> SqlStore::OpenWriteSession() {
  if (access_ == StoreAccess::ReadOnly) return std::unexpected(ReadOnlyRefusal());
  auto session = OpenSession(Use::Write);
  if (!session || schemaReady_) return session;
  if (auto upgraded = UpgradeSchema(**session, dialect_.engine); !upgraded) {
    return std::unexpected(upgraded.error());
  }
  schemaReady_ = true;
  return session;
}

// Only an attempt that cut a forecast out of the page is a success: a page without one is a
// failed attempt whatever came before, or a changed page would pass for an unchanged forecast.
StoreResult SqlStore::Record(const FetchResult& fetch, const AttemptContext& context) {
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

  const auto written = Writing<void>([&](SqlSession& session) -> DbExpected<void> {
    auto done = Write(session, compared ? &text : nullptr, context, result);
    // Closing an SQLite connection rolls back too, but a kept session must be clean.
    if (!done) (void)session.Execute("ROLLBACK");
    return done;
  });
  if (!written) {
    result.error = Failure(written.error());
    if (result.outcome == StoreOutcome::Stored) {  // rolled back with the log row
      result.outcome = StoreOutcome::Unchanged;
      result.logged.description = kNotWritten;
      result.forecastId = 0;
    }
    result.events.clear();
  }
  return result;
}

// One transaction that excludes other writers, so that the comparison, the decision on the
// run of failures and the inserts cannot interleave with another collector's.
DbExpected<void> SqlStore::Write(SqlSession& session, const QString* text,
                                 const AttemptContext& context, StoreResult& result) {
  if (auto begun = session.Execute(dialect_.beginWrite); !begun) return begun;
  const QString slot =
      context.slot ? context.slot->toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) : QString();
  // Under the writers' lock: the slot's attempt is written once, whoever wrote it.
  if (context.again && context.slot) {
    const auto last = session.QueryText(dialect_.lastSlot, {});
    if (!last) return std::unexpected(last.error());
    if (*last && **last >= slot) {
      result.slotTaken = true;
      return session.Execute("ROLLBACK");
    }
  }
  const auto now = session.QueryText((QByteArray("SELECT ") + dialect_.now).constData(), {});
  if (!now) return std::unexpected(now.error());
  AttemptRow& row = result.logged;
  row.logtime = now->value_or(QString());
  auto alert = RunOfFailures(session, row);
  if (!alert) return std::unexpected(alert.error());
  if (*alert) result.events.push_back(**alert);
  if (text) {
    const auto newest = session.Query(newestForecast_.constData(), {});
    if (!newest) return std::unexpected(newest.error());
    const std::optional<QString> newestText = newest->empty() ? std::nullopt : newest->front()[2];
    // An empty table or a null newest row counts as different, so the first forecast is
    // stored and a null can never block every later one.
    if (!newestText || *newestText != *text) {
      const auto id = session.QueryInt(insertForecast_.constData(), {row.logtime, *text});
      if (!id) return std::unexpected(id.error());
      if (dialect_.announce) {
        if (auto told = session.Run(dialect_.announce, {QString::number(*id)}); !told) return told;
      }
      result.outcome = StoreOutcome::Stored;
      result.forecastId = *id;
      row.description = kWritten;
      // The messages tell what changed since the forecast it replaces.
      std::optional<PreviousForecast> previous;
      if (newestText) {
        const SqlRow& before = newest->front();
        previous = PreviousForecast{before[0].value_or(QString()).toLongLong(),
                                    before[1].value_or(QString()), *newestText};
      }
      result.events.push_back(NewForecastEvent(*id, row.logtime, *text, std::move(previous)));
    }
  }
  if (auto logged = session.Run(appendAttempt_.constData(),
                                {row.logtime, row.status, row.number, row.description});
      !logged) {
    return logged;
  }
  const QDateTime clock = context.now.isValid() ? context.now : QDateTime::currentDateTime();
  for (Event& event : result.events) {
    event.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    if (auto added = WriteOutboxRows(session, event, clock.toSecsSinceEpoch()); !added) {
      return added;
    }
  }
  if (context.slot) {
    if (auto recorded = session.Run(dialect_.recordSlot, {slot}); !recorded) return recorded;
  }
  return session.Execute("COMMIT");
}

DbExpected<std::optional<Event>> SqlStore::RunOfFailures(SqlSession& session,
                                                         const AttemptRow& attempt) {
  const auto previous = session.QueryText(newestStatus_.constData(), {});
  if (!previous) return std::unexpected(previous.error());
  const bool wasFailing = *previous && **previous != kStatusFetched;
  const bool fails = !Succeeded(attempt);
  if (fails == wasFailing) return std::nullopt;
  Event event{.kind = fails ? EventKind::Failure : EventKind::Recovery,
              .logtime = attempt.logtime,
              .status = attempt.status,
              .number = attempt.number,
              .description = attempt.description,
              .failures = 1};
  if (!fails) {
    // The failures since the last good attempt, or since the log began.
    const auto good = session.Query(lastSuccess_.constData(), {kStatusFetched});
    if (!good) return std::unexpected(good.error());
    const auto count = good->empty() ? session.QueryInt("SELECT count(*) FROM tqlog", {})
                                     : session.QueryInt(countAfter_.constData(),
                                                        {ToAttempt(good->front()).position,
                                                         ToAttempt(good->front()).logtime});
    if (!count) return std::unexpected(count.error());
    event.failures = static_cast<int>(*count);
  }
  return event;
}

// Inside the event's transaction: a rollback takes the deliveries with it.
DbExpected<void> SqlStore::WriteOutboxRows(SqlSession& session, const Event& event, qint64 now) {
  const QStringList& channels = routes_[event.kind];
  if (channels.isEmpty()) return {};
  const QString message = EventJson(event);
  const QString kind = NamesOf(event.kind).name.toString();
  for (const QString& channel : channels) {
    if (auto added =
            session.Run(insertDelivery_.constData(), {event.id, kind, channel, message, now, now});
        !added) {
      return added;
    }
  }
  return {};
}

template <typename T>
DbExpected<T> SqlStore::Writing(const std::function<DbExpected<T>(SqlSession&)>& work) {
  auto session = OpenWriteSession();
  DbExpected<T> done = session ? work(**session) : DbExpected<T>(std::unexpected(session.error()));
  if (!done) SessionFailed(done.error());
  EndCall();
  return done;
}

template <typename T>
DbExpected<T> SqlStore::Reading(const std::function<DbExpected<T>(SqlSession&)>& read) {
  DbExpected<T> found = std::unexpected(DbError{});
  for (int tries = 0; tries < 2; ++tries) {
    auto session = OpenSession(Use::Read);
    found = session ? read(**session) : DbExpected<T>(std::unexpected(session.error()));
    const bool again = !found && SessionFailed(found.error());
    if (CloseSession() && !again) break;
  }
  interruption_.Clear();
  return found;
}

template <typename T>
StoreExpected<T> SqlStore::OnOutbox(const std::function<DbExpected<T>(SqlSession&)>& work) {
  auto done = Writing<T>(work);
  if (!done) return std::unexpected(Failure(done.error()));
  if constexpr (std::is_void_v<T>) {
    return {};
  } else {
    return *std::move(done);
  }
}

StoreExpected<std::vector<DeliveryRow>> SqlStore::DueDeliveries(const QString& channel, qint64 now,
                                                                int limit) {
  return OnOutbox<std::vector<DeliveryRow>>(
      [&](SqlSession& session) -> DbExpected<std::vector<DeliveryRow>> {
        const auto rows = session.Query(
            (QByteArray(kDeliveryColumns) +
             "WHERE state = $1 AND channel = $2 AND next_try <= $3 ORDER BY id LIMIT $4")
                .constData(),
            {kDeliveryPending, channel, now, qint64{limit}});
        if (!rows) return std::unexpected(rows.error());
        return ToDeliveries(*rows);
      });
}

StoreExpected<std::optional<qint64>> SqlStore::NextDue(const QString& channel) {
  return OnOutbox<std::optional<qint64>>(
      [&](SqlSession& session) -> DbExpected<std::optional<qint64>> {
        const auto due =
            session.QueryText("SELECT min(next_try) FROM outbox WHERE state = $1 AND channel = $2",
                              {kDeliveryPending, channel});
        if (!due) return std::unexpected(due.error());
        if (!*due) return std::optional<qint64>();
        return std::optional<qint64>((*due)->toLongLong());
      });
}

StoreExpected<void> SqlStore::UpdateDelivery(const DeliveryRow& row) {
  return OnOutbox<void>([&](SqlSession& session) -> DbExpected<void> {
    return session.Run(
        "UPDATE outbox SET tries = $1, next_try = $2, state = $3, last_error = $4 WHERE id = $5",
        {qint64{row.tries}, row.nextTry, row.state, row.lastError, row.id});
  });
}

StoreExpected<std::vector<qint64>> SqlStore::SentSince(const QString& channel, qint64 since,
                                                       int limit) {
  return OnOutbox<std::vector<qint64>>([&](SqlSession& session) -> DbExpected<std::vector<qint64>> {
    const auto rows = session.Query(
        "SELECT next_try FROM outbox WHERE state = $1 AND channel = $2 AND next_try >= $3 "
        "ORDER BY next_try DESC LIMIT $4",
        {kDeliverySent, channel, since, qint64{limit}});
    if (!rows) return std::unexpected(rows.error());
    std::vector<qint64> sent;
    for (const SqlRow& row : *rows | std::views::reverse) {
      sent.push_back(row[0].value_or(QString()).toLongLong());
    }
    return sent;
  });
}

// Readers make nothing: a database without an outbox has no deliveries.
template <typename T>
StoreExpected<T> SqlStore::ReadOutbox(const std::function<DbExpected<T>(SqlSession&)>& read) {
  const auto found = Reading<T>([&](SqlSession& session) -> DbExpected<T> {
    const auto present = session.QueryInt(dialect_.hasOutbox, {});
    if (!present) return std::unexpected(present.error());
    return *present ? read(session) : DbExpected<T>(T{});
  });
  if (!found) return std::unexpected(Failure(found.error()));
  return *std::move(found);
}

StoreExpected<std::vector<DeliveryRow>> SqlStore::NewestDeliveries(int limit,
                                                                   const DeliveryFilter& filter) {
  return ReadOutbox<std::vector<DeliveryRow>>(
      [&](SqlSession& session) -> DbExpected<std::vector<DeliveryRow>> {
        const auto columns = DeliveryColumns(session, dialect_.engine);
        if (!columns) return std::unexpected(columns.error());
        const auto rows =
            session.Query((*columns + "WHERE ($1 = '' OR state = $1) AND ($2 = '' OR channel = $2) "
                                      "ORDER BY id DESC LIMIT $3")
                              .constData(),
                          {filter.state, filter.channel, qint64{limit}});
        if (!rows) return std::unexpected(rows.error());
        return ToDeliveries(*rows);
      });
}

StoreExpected<std::vector<DeliveryRow>> SqlStore::Redeliver(const Redelivery& which, qint64 now) {
  return OnOutbox<std::vector<DeliveryRow>>(
      [&](SqlSession& session) -> DbExpected<std::vector<DeliveryRow>> {
        if (auto begun = session.Execute(dialect_.beginWrite); !begun) {
          return std::unexpected(begun.error());
        }
        const QByteArray set =
            "UPDATE outbox SET state = $1, tries = 0, next_try = $2, redelivered = $2 WHERE ";
        std::vector<SqlRow> rows;
        const auto update = [&](const QByteArray& where, SqlValues values) -> DbExpected<void> {
          auto changed = session.Query((set + where + kReturnedDelivery).constData(), values);
          if (!changed) return std::unexpected(changed.error());
          rows.insert(rows.end(), changed->begin(), changed->end());
          return {};
        };
        DbExpected<void> done;
        if (which.givenUp) {
          done = update("state = $3 AND ($4 = '' OR channel = $4)",
                        {kDeliveryPending, now, kDeliveryGivenUp, which.channel});
        }
        for (const QString& id : which.ids) {
          if (!done) break;
          bool number = false;
          const qint64 row = id.toLongLong(&number);
          done = update("(id = $3 OR event_id = $4) AND ($5 = '' OR channel = $5)",
                        {kDeliveryPending, now, number ? row : qint64{-1}, id, which.channel});
        }
        if (done) done = session.Execute("COMMIT");
        if (!done) {
          (void)session.Execute("ROLLBACK");
          return std::unexpected(done.error());
        }
        std::vector<DeliveryRow> deliveries = ToDeliveries(rows);
        std::ranges::sort(deliveries, {}, &DeliveryRow::id);
        const auto repeated = std::ranges::unique(deliveries, {}, &DeliveryRow::id);
        deliveries.erase(repeated.begin(), repeated.end());
        return deliveries;
      });
}

StoreExpected<OutboxSummary> SqlStore::SummariseOutbox() {
  return ReadOutbox<OutboxSummary>([](SqlSession& session) -> DbExpected<OutboxSummary> {
    const auto rows = session.Query(
        "SELECT count(*) FILTER (WHERE state = $1), count(*) FILTER (WHERE state = $2), "
        "min(created) FILTER (WHERE state = $1) FROM outbox",
        {kDeliveryPending, kDeliveryGivenUp});
    if (!rows) return std::unexpected(rows.error());
    OutboxSummary summary;
    if (rows->empty()) return summary;
    const SqlRow& row = rows->front();
    summary.pending = row[0].value_or(QString()).toLongLong();
    summary.givenUp = row[1].value_or(QString()).toLongLong();
    if (row[2]) summary.oldestPending = row[2]->toLongLong();
    return summary;
  });
}

StoreExpected<bool> SqlStore::CreateTables() {
  auto made = access_ == StoreAccess::ReadOnly ? std::unexpected(ReadOnlyRefusal()) : MakeTables();
  DbExpected<bool> upgraded = false;
  if (made) {
    auto session = OpenSession(Use::Write);
    upgraded = session ? UpgradeSchema(**session, dialect_.engine)
                       : DbExpected<bool>(std::unexpected(session.error()));
  }
  EndCall();
  if (!made) return std::unexpected(Failure(made.error()));
  if (!upgraded) return std::unexpected(Failure(upgraded.error()));
  schemaReady_ = true;
  return *made || *upgraded;
}

StoreExpected<int> SqlStore::SchemaVersion() {
  auto session = OpenSession(Use::Read);
  const DbExpected<int> version = session ? skyloom::SchemaVersion(**session, dialect_.engine)
                                          : DbExpected<int>(std::unexpected(session.error()));
  EndCall();
  if (!version) return std::unexpected(Failure(version.error()));
  return *version;
}

template <typename Row>
StoreExpected<std::vector<Row>> SqlStore::Read(const QByteArray& sql, SqlValues values,
                                               Row (*toRow)(const SqlRow&)) {
  const auto found = Reading<std::vector<SqlRow>>(
      [&](SqlSession& session) { return session.Query(sql.constData(), values); });
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

StoreExpected<std::vector<ForecastRow>> SqlStore::ForecastsAfter(std::optional<qint64> afterId,
                                                                 const LogSpan& span, int limit) {
  return Read(
      forecastsAfter_,
      {afterId.value_or(std::numeric_limits<qint64>::min()), span.from, span.to, qint64{limit}},
      &ToForecast);
}

StoreExpected<std::vector<AttemptRow>> SqlStore::AttemptsAfter(const AttemptRow* after,
                                                               const LogSpan& span, int limit) {
  if (!after) return Read(attemptsFromStart_, {span.from, span.to, qint64{limit}}, &ToAttempt);
  return Read(attemptsAfter_, {after->position, after->logtime, span.from, span.to, qint64{limit}},
              &ToAttempt);
}

StoreExpected<std::vector<DeliveryRow>> SqlStore::DeliveriesAfter(std::optional<qint64> afterId,
                                                                  const LogSpan& span, int limit) {
  const qint64 from = SecondsSinceEpoch(span.from);
  const qint64 to = SecondsSinceEpoch(span.to);
  return ReadOutbox<std::vector<DeliveryRow>>(
      [&](SqlSession& session) -> DbExpected<std::vector<DeliveryRow>> {
        const auto columns = DeliveryColumns(session, dialect_.engine);
        if (!columns) return std::unexpected(columns.error());
        const auto rows = session.Query(
            (*columns + "WHERE id > $1 AND created >= $2 AND created < $3 ORDER BY id LIMIT $4")
                .constData(),
            {afterId.value_or(std::numeric_limits<qint64>::min()), from, to, qint64{limit}});
        if (!rows) return std::unexpected(rows.error());
        return ToDeliveries(*rows);
      });
}

StoreExpected<DatabaseCheck> SqlStore::CheckDatabase() {
  auto found =
      Reading<DatabaseCheck>([this](SqlSession& session) { return Inspect(session, dialect_); });
  if (!found) return std::unexpected(Failure(found.error()));
  return *std::move(found);
}

StoreExpected<std::optional<AttemptRow>> SqlStore::VisitAttemptsAfter(
    const AttemptRow* after, const LogSpan& span, int limit,
    const std::function<void(int index, SqlFieldsView fields)>& visit) {
  int index = 0;
  QByteArray logtime;
  QByteArray position;
  const auto each = [&](SqlFieldsView fields) {
    visit(index++, fields);
    // Kept for the next page; the same buffers serve row after row.
    logtime.resize(0);
    logtime.append(fields[0].value_or(QByteArrayView()));
    position.resize(0);
    position.append(fields[4].value_or(QByteArrayView()));
  };
  const auto found = Reading<void>([&](SqlSession& session) {
    index = 0;
    if (after) {
      return session.Visit(attemptsAfter_.constData(),
                           {after->position, after->logtime, span.from, span.to, qint64{limit}},
                           each);
    }
    return session.Visit(attemptsFromStart_.constData(), {span.from, span.to, qint64{limit}}, each);
  });
  if (!found) return std::unexpected(Failure(found.error()));
  if (index == 0) return std::optional<AttemptRow>();
  AttemptRow last;
  last.logtime = QString::fromUtf8(logtime);
  last.position = QString::fromUtf8(position);
  return last;
}

StoreExpected<qint64> SqlStore::RemoveAttemptsBefore(const QString& logtime, int limit) {
  return OnOutbox<qint64>([&](SqlSession& session) -> DbExpected<qint64> {
    const auto gone = session.Query(removeAttempts_.constData(), {logtime, qint64{limit}});
    if (!gone) return std::unexpected(gone.error());
    return static_cast<qint64>(gone->size());
  });
}

StoreExpected<qint64> SqlStore::RemoveDeliveriesBefore(qint64 created, int limit) {
  return OnOutbox<qint64>([&](SqlSession& session) -> DbExpected<qint64> {
    const auto present = session.QueryInt(dialect_.hasOutbox, {});
    if (!present || !*present) return present;
    const auto gone = session.Query(
        "DELETE FROM outbox WHERE id IN (SELECT id FROM outbox WHERE state IN ($1, $2) AND "
        "created < $3 ORDER BY id LIMIT $4) RETURNING 1",
        {kDeliverySent, kDeliveryGivenUp, created, qint64{limit}});
    if (!gone) return std::unexpected(gone.error());
    return static_cast<qint64>(gone->size());
  });
}

template DbExpected<std::optional<QString>> SqlStore::Reading(
    const std::function<DbExpected<std::optional<QString>>(SqlSession&)>&);

}  // namespace skyloom

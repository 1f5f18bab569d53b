#include "store/pg_collector_lease.h"

#include <unistd.h>

#include <QRandomGenerator>
#include <QSysInfo>
#include <algorithm>

namespace skyloom {
namespace {

// Concurrent CREATE TABLE IF NOT EXISTS can still collide in the catalogue.
constexpr qint64 kCreateLockKey = 0x736b796c6561;  // "skylea"

// The turn's advisory lock. Advisory locks belong to a database, and the database is the group.
constexpr qint64 kTurnLockKey = 0x736b79747572;  // "skytur"

// A holder renews; anyone takes a turn that has run out, and a standby holding the lock takes
// one whose holder's session is gone, unless the server restarted or was promoted since the
// last renewal (every session is gone then, the live holder's too: a renewal replayed from
// the old primary is no later than the last transaction replayed). The row lock serialises
// the contenders, so exactly one of them sees itself come back.
constexpr char kHold[] =
    "WITH mine AS ("
    "INSERT INTO skyloom_collector_lease AS lease(id, holder, expires, session, renewed, taken) "
    "VALUES (1, $1, now() + $2::interval, pg_backend_pid(), now(), now()) "
    "ON CONFLICT (id) DO UPDATE SET holder = excluded.holder, expires = excluded.expires, "
    "session = excluded.session, renewed = excluded.renewed, "
    "taken = CASE WHEN lease.holder = excluded.holder THEN lease.taken ELSE excluded.taken END "
    "WHERE lease.holder = excluded.holder OR lease.expires <= now() OR ($3::int = 1 "
    "AND lease.renewed >= pg_postmaster_start_time() "
    "AND lease.renewed > coalesce(pg_last_xact_replay_timestamp(), '-infinity') "
    "AND NOT EXISTS (SELECT 1 FROM pg_stat_activity WHERE pid = lease.session)) "
    "RETURNING taken, last_slot) "
    "SELECT 1, to_char(taken AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"'), "
    "to_char(last_slot, 'YYYY-MM-DD HH24:MI:SS') FROM mine "
    "UNION ALL "
    "SELECT 0, to_char(taken AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"'), "
    "to_char(last_slot, 'YYYY-MM-DD HH24:MI:SS') FROM skyloom_collector_lease "
    "WHERE NOT EXISTS (SELECT 1 FROM mine)";

// Bit 1: the database is the group's (it has tqlog); bit 2: the lease table is there, with
// the columns that came last.
constexpr char kTables[] =
    "SELECT (to_regclass('tqlog') IS NOT NULL)::int + "
    "2 * EXISTS(SELECT 1 FROM pg_attribute WHERE attname = 'last_slot' AND NOT attisdropped "
    "AND attrelid = to_regclass('skyloom_collector_lease'))::int";

QString ThisProcess() {
  return QStringLiteral("%1:%2:%3")
      .arg(QSysInfo::machineHostName())
      .arg(::getpid())
      .arg(QRandomGenerator::system()->generate64(), 16, 16, QLatin1Char('0'));
}

// A renewal that cannot finish within a third of the term would lose the turn anyway, and
// a slow one must not hold up the next.
std::chrono::milliseconds Bounded(std::chrono::milliseconds limit, std::chrono::milliseconds term) {
  return limit.count() > 0 ? std::min(limit, term / 3) : term / 3;
}

bool Passed(CollectorLease::Deadline deadline) {
  return std::chrono::steady_clock::now() >= deadline;
}

const DbError kOutOfTime{0, QStringLiteral("the lease did not answer in time")};

}  // namespace

PgCollectorLease::PgCollectorLease(QString uri, PgLimits limits, std::chrono::milliseconds term)
    : description_(PgConnectionDescription(uri)),
      term_(term),
      holder_(ThisProcess()),
      link_(std::move(uri),
            PgLimits{.connect = Bounded(limits.connect, term),
                     .statement = Bounded(limits.statement, term),
                     .kind = "role"},
            false) {}

PgCollectorLease::~PgCollectorLease() = default;

StoreError PgCollectorLease::Failure(const DbError& error) const {
  if (error.message.contains(description_)) return StoreError{error.code, error.message};
  return StoreError{error.code, QStringLiteral("Database %1: %2").arg(description_, error.message)};
}

DbExpected<PgConnection*> PgCollectorLease::Session(Deadline deadline) {
  // No check beforehand: the lease's own query shows whether a kept session still works.
  if (link_.Healthy() && tablesReady_) return link_.Current();
  if (!link_.Healthy()) locked_ = false;
  tablesReady_ = false;
  const auto fail = [this](const DbError& error) {
    link_.Drop();
    return std::unexpected(error);
  };
  // The lease polls every second or so: a wait would only hold up its answer.
  auto session = link_.Session(/*waitOut=*/false);
  if (!session) return std::unexpected(session.error());
  PgConnection& db = **session;
  if (Passed(deadline)) return fail(kOutOfTime);
  const auto tables = db.QueryInt(kTables, {});
  if (!tables) return fail(tables.error());
  // A database without the forecast tables is not the group's: leave it as it is.
  if ((*tables & 1) == 0) return fail(DbError{0, QStringLiteral("the table tqlog is missing")});
  tablesReady_ = true;
  if ((*tables & 2) != 0) return &db;
  // Made (or brought up to date) only when missing: a collector that may not create tables (the
  // default on a schema from PostgreSQL 15 on) uses the one --init-db made, and no reconnect waits
  // on the lock of another collector's making.
  if (Passed(deadline)) return fail(kOutOfTime);
  DbExpected<void> made = db.Execute("BEGIN");
  if (made) made = db.Run("SELECT pg_advisory_xact_lock($1)", {kCreateLockKey});
  if (made) made = db.Execute(kCollectorLeaseTable);
  if (made) made = db.Execute("COMMIT");
  if (!made) return fail(made.error());
  return &db;
}

template <typename Call>
auto PgCollectorLease::Ask(Deadline deadline, Call call)
    -> decltype(call(std::declval<PgConnection&>())) {
  for (bool again = true;; again = false) {
    auto session = Session(deadline);
    if (!session) return std::unexpected(session.error());
    auto answer = call(**session);
    // A session the server dropped (a restart, a failover) fails at once; a new one is tried
    // within the same call, but not after a query that ran out of time.
    if (answer || !link_.Check(answer.error()) || !again || Passed(deadline)) return answer;
  }
}

QString PgCollectorLease::TermText() const {
  return QStringLiteral("%1 milliseconds").arg(term_.count());
}

StoreExpected<Turn> PgCollectorLease::Hold(Deadline deadline) {
  const auto rows = Ask(deadline, [&](PgConnection& db) -> DbExpected<std::vector<SqlRow>> {
    if (!locked_) {
      const auto got = db.QueryInt("SELECT pg_try_advisory_lock($1)::int", {kTurnLockKey});
      if (!got) return std::unexpected(got.error());
      locked_ = *got != 0;
    }
    return db.Query(kHold, {holder_, TermText(), qint64{locked_ ? 1 : 0}});
  });
  if (!rows) return std::unexpected(Failure(rows.error()));
  Turn turn;
  turn.role = CollectorRole::Standby;
  if (!rows->empty() && rows->front().size() == 3) {
    const SqlRow& row = rows->front();
    if (row[0] == QLatin1String("1")) turn.role = CollectorRole::Active;
    if (row[1]) turn.taken = QDateTime::fromString(*row[1], Qt::ISODate);
    if (row[2]) {
      turn.lastSlot = QDateTime::fromString(*row[2], QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    }
  }
  // A standby keeps no lock: the holder needs it, or whoever takes over after a freeze.
  if (turn.role == CollectorRole::Standby && locked_ && link_.Healthy()) {
    (void)link_.Current()->QueryInt("SELECT pg_advisory_unlock($1)::int", {kTurnLockKey});
    locked_ = false;
  }
  return turn;
}

void PgCollectorLease::Release() {
  if (!link_.Healthy()) return;
  (void)link_.Current()->Run(
      "UPDATE skyloom_collector_lease SET expires = '-infinity' WHERE holder = $1", {holder_});
  if (locked_)
    (void)link_.Current()->QueryInt("SELECT pg_advisory_unlock($1)::int", {kTurnLockKey});
  locked_ = false;
}

}  // namespace skyloom

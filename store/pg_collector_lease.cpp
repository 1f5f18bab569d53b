#include "store/pg_collector_lease.h"

#include <unistd.h>

#include <QRandomGenerator>
#include <QSysInfo>
#include <algorithm>

namespace skyloom {
namespace {

// Concurrent CREATE TABLE IF NOT EXISTS can still collide in the catalogue.
constexpr qint64 kCreateLockKey = 0x736b796c6561;  // "skylea"

// A holder renews; anyone takes a turn that has run out. The row lock serialises the
// contenders, so exactly one of them sees its own id come back.
constexpr char kHold[] =
    "INSERT INTO skyloom_collector_lease AS lease(id, holder, expires) "
    "VALUES (1, $1, now() + $2::interval) "
    "ON CONFLICT (id) DO UPDATE SET holder = excluded.holder, expires = excluded.expires "
    "WHERE lease.holder = excluded.holder OR lease.expires <= now() "
    "RETURNING holder";

// tqlog's times come from the server's clock, in whole seconds, so the span is counted back
// from that clock rather than compared with ours. A row from the future (a clock set back)
// is no attempt in this slot.
constexpr char kLogged[] =
    "SELECT EXISTS(SELECT 1 FROM tqlog WHERE logtime BETWEEN "
    "date_trunc('second', localtimestamp) - $1::interval AND localtimestamp)::int";

// Bit 1: the database is the group's (it has tqlog); bit 2: the lease table is there.
constexpr char kTables[] =
    "SELECT (to_regclass('tqlog') IS NOT NULL)::int + "
    "2 * (to_regclass('skyloom_collector_lease') IS NOT NULL)::int";

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
    : uri_(std::move(uri)),
      description_(PgConnectionDescription(uri_)),
      limits_{Bounded(limits.connect, term), Bounded(limits.statement, term)},
      term_(term),
      holder_(ThisProcess()) {}

PgCollectorLease::~PgCollectorLease() = default;

StoreError PgCollectorLease::Failure(const DbError& error) const {
  if (error.message.contains(description_)) return StoreError{error.code, error.message};
  return StoreError{error.code, QStringLiteral("Database %1: %2").arg(description_, error.message)};
}

DbExpected<PgConnection*> PgCollectorLease::Session(Deadline deadline) {
  // No check beforehand: the lease's own query shows whether a kept session still works.
  if (connection_ && connection_->Healthy()) return connection_.get();
  connection_ = std::make_unique<PgConnection>();
  const auto fail = [this](const DbError& error) {
    connection_.reset();
    return std::unexpected(error);
  };
  if (auto opened = OpenPgSession(*connection_, uri_, limits_); !opened)
    return fail(opened.error());
  if (Passed(deadline)) return fail(kOutOfTime);
  const auto tables = connection_->QueryInt(kTables, {});
  if (!tables) return fail(tables.error());
  // A database without the forecast tables is not the group's: leave it as it is.
  if ((*tables & 1) == 0) return fail(DbError{0, QStringLiteral("the table tqlog is missing")});
  if ((*tables & 2) != 0) return connection_.get();
  // Made only when missing: a collector that may not create tables (the default on a schema
  // from PostgreSQL 15 on) uses the one --init-db made, and no reconnect waits on the lock
  // of another collector's making.
  if (Passed(deadline)) return fail(kOutOfTime);
  DbExpected<void> made = connection_->Execute("BEGIN");
  if (made) made = connection_->Run("SELECT pg_advisory_xact_lock($1)", {kCreateLockKey});
  if (made) made = connection_->Execute(kCollectorLeaseTable);
  if (made) made = connection_->Execute("COMMIT");
  if (!made) return fail(made.error());
  return connection_.get();
}

template <typename Call>
auto PgCollectorLease::Ask(Deadline deadline, Call call)
    -> decltype(call(std::declval<PgConnection&>())) {
  for (bool again = true;; again = false) {
    auto session = Session(deadline);
    if (!session) return std::unexpected(session.error());
    auto answer = call(**session);
    // A session the server dropped (a restart) fails at once; a new one is tried within the
    // same call, but not after a query that ran out of time.
    if (answer || !again || (*session)->Healthy() ||
        answer.error().sqlState == QLatin1String(kPgGivenUp) || Passed(deadline)) {
      return answer;
    }
  }
}

QString PgCollectorLease::TermText() const {
  return QStringLiteral("%1 milliseconds").arg(term_.count());
}

StoreExpected<CollectorRole> PgCollectorLease::Hold(Deadline deadline) {
  const auto holder = Ask(deadline, [&](PgConnection& db) {
    return db.QueryText(kHold, {holder_, TermText()});
  });
  if (!holder) return std::unexpected(Failure(holder.error()));
  return *holder ? CollectorRole::Active : CollectorRole::Standby;
}

void PgCollectorLease::Release() {
  if (!connection_ || !connection_->Healthy()) return;
  (void)connection_->Run(
      "UPDATE skyloom_collector_lease SET expires = '-infinity' WHERE holder = $1", {holder_});
}

StoreExpected<bool> PgCollectorLease::Logged(std::chrono::seconds span, Deadline deadline) {
  const auto taken = Ask(deadline, [&](PgConnection& db) {
    return db.QueryInt(kLogged, {QStringLiteral("%1 seconds").arg(span.count())});
  });
  if (!taken) return std::unexpected(Failure(taken.error()));
  return *taken != 0;
}

}  // namespace skyloom

#include "store/pg_collector_lease.h"

#include <unistd.h>

#include <QRandomGenerator>
#include <QSysInfo>
#include <QTimeZone>
#include <algorithm>

namespace skyloom {
namespace {

// One row: whoever holds it fetches until `expires`, by the server's clock.
constexpr char kLeaseTable[] =
    "CREATE TABLE IF NOT EXISTS skyloom_collector_lease(\n"
    "  id integer PRIMARY KEY CHECK (id = 1),\n"
    "  holder text NOT NULL,\n"
    "  expires timestamptz NOT NULL,\n"
    "  slot text\n"
    ")";
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

constexpr char kClaim[] =
    "UPDATE skyloom_collector_lease SET expires = now() + $2::interval, slot = $3 "
    "WHERE holder = $1 AND expires > now() RETURNING holder";

constexpr char kSlotTaken[] =
    "SELECT (EXISTS(SELECT 1 FROM skyloom_collector_lease WHERE slot = $1) OR "
    "EXISTS(SELECT 1 FROM tqlog WHERE logtime >= date_trunc('second', localtimestamp) - "
    "$2::interval))::int";

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

DbExpected<PgConnection*> PgCollectorLease::Session() {
  if (connection_ && connection_->Healthy()) {
    auto alive = connection_->Execute("SELECT 1");
    if (alive) return connection_.get();
    // One that did not answer in time is not asked again in the same call.
    if (alive.error().sqlState == QLatin1String(kPgGivenUp)) return std::unexpected(alive.error());
  }
  connection_ = std::make_unique<PgConnection>();
  const auto fail = [this](const DbError& error) {
    connection_.reset();
    return std::unexpected(error);
  };
  if (auto opened = connection_->Open(uri_, limits_.connect, limits_.statement); !opened) {
    return fail(opened.error());
  }
  // The store logs by the server's clock in the collector's zone; SlotTaken counts back alike.
  const QByteArray zone = QTimeZone::systemTimeZoneId();
  if (!zone.isEmpty()) {
    (void)connection_->Run("SELECT set_config('TimeZone', $1, false)", {QString::fromLatin1(zone)});
  }
  // A database without the forecast tables is not the group's: leave it as it is.
  const auto logs = connection_->QueryInt("SELECT (to_regclass('tqlog') IS NOT NULL)::int", {});
  if (!logs) return fail(logs.error());
  if (*logs == 0) return fail(DbError{0, QStringLiteral("the table tqlog is missing")});
  DbExpected<void> made = connection_->Execute("BEGIN");
  if (made) made = connection_->Run("SELECT pg_advisory_xact_lock($1)", {kCreateLockKey});
  if (made) made = connection_->Execute(kLeaseTable);
  if (made) made = connection_->Execute("COMMIT");
  if (!made) return fail(made.error());
  return connection_.get();
}

QString PgCollectorLease::Term() const {
  return QStringLiteral("%1 milliseconds").arg(term_.count());
}

StoreExpected<CollectorRole> PgCollectorLease::Hold() {
  auto session = Session();
  if (!session) return std::unexpected(Failure(session.error()));
  const auto holder = (*session)->QueryText(kHold, {holder_, Term()});
  if (!holder) return std::unexpected(Failure(holder.error()));
  return *holder ? CollectorRole::Active : CollectorRole::Standby;
}

StoreExpected<bool> PgCollectorLease::Claim(const QString& slot) {
  auto session = Session();
  if (!session) return std::unexpected(Failure(session.error()));
  const auto holder = (*session)->QueryText(kClaim, {holder_, Term(), slot});
  if (!holder) return std::unexpected(Failure(holder.error()));
  return holder->has_value();
}

void PgCollectorLease::Release() {
  if (!connection_ || !connection_->Healthy()) return;
  (void)connection_->Run(
      "UPDATE skyloom_collector_lease SET expires = '-infinity' WHERE holder = $1", {holder_});
}

StoreExpected<bool> PgCollectorLease::SlotTaken(const QString& slot, std::chrono::seconds span) {
  auto session = Session();
  if (!session) return std::unexpected(Failure(session.error()));
  // tqlog's times come from the server's clock, in whole seconds, so the span is counted back
  // from that clock rather than compared with ours.
  const auto taken =
      (*session)->QueryInt(kSlotTaken, {slot, QStringLiteral("%1 seconds").arg(span.count())});
  if (!taken) return std::unexpected(Failure(taken.error()));
  return *taken != 0;
}

}  // namespace skyloom

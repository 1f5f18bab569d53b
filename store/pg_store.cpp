#include "store/pg_store.h"

#include <QTimeZone>

namespace skyloom {
namespace {

constexpr char kCountTables[] =
    "SELECT (to_regclass('tq') IS NOT NULL)::int + (to_regclass('tqlog') IS NOT NULL)::int";

// tqlog has no key; within a second the physical order is the order of insert, and nothing
// updates a log row, so its ctid stays put. Collectors serialise their writes on the key
// "skyloom", held until the transaction ends.
constexpr SqlDialect kPostgres{
    .engine = SqlEngine::Postgres,
    .beginWrite = "BEGIN; SELECT pg_advisory_xact_lock(32487791576182637)",
    .now = "to_char(localtimestamp, 'YYYY-MM-DD HH24:MI:SS')",
    .position = "ctid::text",
    .order = "logtime, ctid",
    .before = "(logtime, ctid) < ($2::timestamp, $1::tid)",
    .after = "(logtime, ctid) > ($2::timestamp, $1::tid)",
    // Only the turn's holder keeps its timed attempts, so the row is its own.
    .recordSlot =
        "UPDATE skyloom_collector_lease "
        "SET last_slot = GREATEST(last_slot, $1::timestamp)",
    .logtime = "to_char(logtime, 'YYYY-MM-DD HH24:MI:SS')",
    // Delivered at commit, and only then: readers need not poll.
    .announce = "SELECT pg_notify('skyloom_forecast', $1)",
    .hasOutbox = "SELECT (to_regclass('outbox') IS NOT NULL)::int",
    // A server checks its own pages; reading the tables through is the client's check.
    .integrityCheck = nullptr,
    .rowKey = "ctid",
};

}  // namespace

PgStore::PgStore(QString uri, PgLimits limits, StoreAccess access)
    : SqlStore(PgConnectionDescription(uri), kPostgres, access),
      uri_(std::move(uri)),
      limits_(limits),
      readOnly_(access == StoreAccess::ReadOnly) {}

PgStore::~PgStore() = default;

DbExpected<void> OpenPgSession(PgConnection& connection, const QString& uri, PgLimits limits,
                               bool readOnly) {
  auto opened = connection.Open(uri, limits.connect, limits.statement, readOnly);
  if (!opened) return opened;
  const QByteArray zone = QTimeZone::systemTimeZoneId();
  if (!zone.isEmpty()) {
    (void)connection.Run("SELECT set_config('TimeZone', $1, false)", {QString::fromLatin1(zone)});
  }
  return opened;
}

DbExpected<void> PgStore::Connect() {
  tablesChecked_ = false;
  connection_ = std::make_unique<PgConnection>(&interruption());
  return OpenPgSession(*connection_, uri_, limits_, readOnly_);
}

DbExpected<SqlSession*> PgStore::OpenSession(Use) {
  // A server restarted since the last call shows only when asked, so ask first. One that
  // did not answer in time is not asked again in the same call, which would double the wait.
  if (connection_ && connection_->Healthy()) {
    auto alive = connection_->Execute("SELECT 1");
    if (alive && tablesChecked_) return connection_.get();
    if (!alive && alive.error().sqlState == QLatin1String(kPgGivenUp)) {
      return std::unexpected(alive.error());
    }
    if (!alive) connection_.reset();
  }
  if (!connection_ || !connection_->Healthy()) {
    if (auto connected = Connect(); !connected) return std::unexpected(connected.error());
  }
  const auto tables = connection_->QueryInt(kCountTables, {});
  if (!tables) return std::unexpected(tables.error());
  if (*tables != 2) {
    return std::unexpected(DbError{0, QStringLiteral("the tables tq and tqlog are missing; create "
                                                     "them with skyloom --init-db --db URI")});
  }
  tablesChecked_ = true;
  return connection_.get();
}

// Made here by whoever may create tables, so that collectors need no such right.
DbExpected<bool> PgStore::MakeTables() {
  if (auto connected = Connect(); !connected) return std::unexpected(connected.error());
  return UpgradeSchema(*connection_, SqlEngine::Postgres);
}

}  // namespace skyloom

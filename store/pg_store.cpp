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
    // Only the turn's holder keeps its timed attempts, so the row is its own; made when
    // missing, so that an attempt made again can tell whether its slot was stored.
    .recordSlot =
        "INSERT INTO skyloom_collector_lease AS lease(id, holder, expires, last_slot) "
        "VALUES (1, '', '-infinity', $1::timestamp) ON CONFLICT (id) DO UPDATE "
        "SET last_slot = GREATEST(lease.last_slot, excluded.last_slot)",
    .lastSlot =
        "SELECT to_char(max(last_slot), 'YYYY-MM-DD HH24:MI:SS') FROM "
        "skyloom_collector_lease",
    .logtime = "to_char(logtime, 'YYYY-MM-DD HH24:MI:SS')",
    // Delivered at commit, and only then: readers need not poll.
    .announce = "SELECT pg_notify('skyloom_forecast', $1)",
    .hasOutbox = "SELECT (to_regclass('outbox') IS NOT NULL)::int",
    // A server checks its own pages; reading the tables through is the client's check.
    .integrityCheck = nullptr,
    .rowKey = "ctid",
    .server =
        "SELECT coalesce(host(inet_server_addr()), 'local') || ':' || "
        "current_setting('port'), (NOT pg_is_in_recovery())::int::text",
};

}  // namespace

PgStore::PgStore(QString uri, PgLimits limits, StoreAccess access)
    : SqlStore(PgConnectionDescription(uri), kPostgres, access),
      readOnly_(access == StoreAccess::ReadOnly),
      link_(std::move(uri), limits, readOnly_, &interruption()) {}

PgStore::~PgStore() = default;

DbExpected<SqlSession*> PgStore::OpenSession(Use use) {
  // A server restarted, or turned read-only, since the last call shows only when asked, so
  // ask first. One that did not answer in time is not asked again in the same call, which
  // would double the wait.
  if (link_.Healthy()) {
    const bool writing = use == Use::Write && !readOnly_;
    auto alive = link_.Current()->QueryText(
        writing ? "SELECT current_setting('transaction_read_only')" : "SELECT 'off'", {});
    const bool writable = alive && *alive == QStringLiteral("off");
    if (writable && tablesChecked_) return link_.Current();
    if (!alive && alive.error().sqlState == QLatin1String(kPgGivenUp)) {
      link_.Drop();
      return std::unexpected(alive.error());
    }
    if (!writable) link_.Drop();
  }
  if (!link_.Healthy()) tablesChecked_ = false;
  auto session = link_.Session();
  if (!session) return std::unexpected(session.error());
  const auto tables = (*session)->QueryInt(kCountTables, {});
  if (!tables) return std::unexpected(tables.error());
  if (*tables != 2) {
    return std::unexpected(DbError{0, QStringLiteral("the tables tq and tqlog are missing; create "
                                                     "them with skyloom --init-db --db URI")});
  }
  tablesChecked_ = true;
  return *session;
}

// Made here by whoever may create tables, so that collectors need no such right.
DbExpected<bool> PgStore::MakeTables() {
  auto session = link_.Session();
  if (!session) return std::unexpected(session.error());
  return UpgradeSchema(**session, SqlEngine::Postgres);
}

}  // namespace skyloom

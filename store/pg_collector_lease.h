#pragma once

#include <QString>
#include <algorithm>
#include <memory>

#include "store/collector_lease.h"
#include "store/pg_link.h"

namespace skyloom {

// One row: whoever holds it fetches until `expires`, by the server's clock. `session` is the
// holder's server process, `taken` when its turn began, `last_slot` the last slot the group
// fetched. The columns after `expires` came later, and are added where they are missing.
inline constexpr char kCollectorLeaseTable[] =
    "CREATE TABLE IF NOT EXISTS skyloom_collector_lease(\n"
    "  id integer PRIMARY KEY CHECK (id = 1),\n"
    "  holder text NOT NULL,\n"
    "  expires timestamptz NOT NULL\n"
    ");\n"
    "ALTER TABLE skyloom_collector_lease\n"
    "  ADD COLUMN IF NOT EXISTS session integer,\n"
    "  ADD COLUMN IF NOT EXISTS renewed timestamptz,\n"
    "  ADD COLUMN IF NOT EXISTS taken timestamptz,\n"
    "  ADD COLUMN IF NOT EXISTS last_slot timestamp";

// The turn as one row on the server, renewed on the server's clock, and a session-level
// advisory lock its holder keeps on the same connection. A killed holder's connection closes
// and the server frees the lock at once, so a standby that gets the lock takes the turn within
// a poll. The lock alone would not do: a frozen process (SIGSTOP, a stalled virtual machine)
// keeps its TCP session, and with it the lock, for ever. The row's time runs out on the server
// whatever the holder's state, and the holder, thawed, finds its renewal refused before it
// fetches again. The table is the group's own; tq and tqlog are left as they are.
class PgCollectorLease final : public CollectorLease {
 public:
  PgCollectorLease(QString uri, PgLimits limits, std::chrono::milliseconds term);
  ~PgCollectorLease() override;

  StoreExpected<Turn> Hold(Deadline deadline) override;
  void Release() override;
  // A standby notices a killed holder within a second; a holder renews well within a term.
  std::chrono::milliseconds PollInterval() const override {
    return std::min<std::chrono::milliseconds>(std::chrono::seconds(1), term_ / 3);
  }
  std::chrono::milliseconds Term() const override { return term_; }

 private:
  template <typename Call>
  auto Ask(Deadline deadline, Call call) -> decltype(call(std::declval<PgConnection&>()));
  // A session with the lease table there; a dropped session is made again first.
  DbExpected<PgConnection*> Session(Deadline deadline);
  StoreError Failure(const DbError& error) const;
  QString TermText() const;

  QString description_;
  std::chrono::milliseconds term_;
  QString holder_;  // this process, for as long as it runs
  PgLink link_;
  bool tablesReady_ = false;
  bool locked_ = false;  // this session holds the advisory lock
};

}  // namespace skyloom

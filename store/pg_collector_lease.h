#pragma once

#include <QString>
#include <memory>

#include "platform/pg_connection.h"
#include "store/collector_lease.h"

namespace skyloom {

// One row: whoever holds it fetches until `expires`, by the server's clock.
inline constexpr char kCollectorLeaseTable[] =
    "CREATE TABLE IF NOT EXISTS skyloom_collector_lease(\n"
    "  id integer PRIMARY KEY CHECK (id = 1),\n"
    "  holder text NOT NULL,\n"
    "  expires timestamptz NOT NULL\n"
    ")";

// The turn as one row on the server, renewed on the server's clock. A session-level advisory
// lock would not do: a frozen process (SIGSTOP, a stalled virtual machine) keeps its TCP
// session, and with it the lock, for ever. A row whose time runs out on the server frees the
// turn whatever the holder's state, and the holder, thawed, finds its renewal refused before
// it fetches again. The table is the group's own; tq and tqlog are left as they are.
class PgCollectorLease final : public CollectorLease {
 public:
  PgCollectorLease(QString uri, PgLimits limits, std::chrono::milliseconds term);
  ~PgCollectorLease() override;

  StoreExpected<CollectorRole> Hold(Deadline deadline) override;
  void Release() override;
  StoreExpected<bool> Logged(std::chrono::seconds span, Deadline deadline) override;
  std::chrono::milliseconds PollInterval() const override { return term_ / 3; }
  std::chrono::milliseconds Term() const override { return term_; }

 private:
  template <typename Call>
  auto Ask(Deadline deadline, Call call) -> decltype(call(std::declval<PgConnection&>()));
  // A session with the lease table there; a dropped session is made again first.
  DbExpected<PgConnection*> Session(Deadline deadline);
  StoreError Failure(const DbError& error) const;
  QString TermText() const;

  QString uri_;
  QString description_;
  PgLimits limits_;
  std::chrono::milliseconds term_;
  QString holder_;  // this process, for as long as it runs
  std::unique_ptr<PgConnection> connection_;
};

}  // namespace skyloom

#pragma once

#include <QString>
#include <memory>

#include "platform/pg_connection.h"
#include "store/collector_lease.h"

namespace skyloom {

// The turn as one row on the server, renewed on the server's clock. A session-level advisory
// lock would not do: a frozen process (SIGSTOP, a stalled virtual machine) keeps its TCP
// session, and with it the lock, for ever. A row whose time runs out on the server frees the
// turn whatever the holder's state, and the holder, thawed, finds its renewal refused before
// it fetches again. The table is the group's own; tq and tqlog are left as they are.
//
// The row also names the last slot a holder set out to fetch. A holder whose turn ran out
// while its fetch was still under way (a slow server, a stall) logs that attempt after a
// standby took over; the slot named here, and not only the log, keeps the new holder from
// fetching it a second time.
class PgCollectorLease final : public CollectorLease {
 public:
  PgCollectorLease(QString uri, PgLimits limits, std::chrono::milliseconds term);
  ~PgCollectorLease() override;

  StoreExpected<CollectorRole> Hold() override;
  StoreExpected<bool> Claim(const QString& slot) override;
  void Release() override;
  StoreExpected<bool> SlotTaken(const QString& slot, std::chrono::seconds span) override;
  std::chrono::milliseconds PollInterval() const override { return term_ / 3; }

 private:
  // A session with the lease table made; a dropped session is made again first.
  DbExpected<PgConnection*> Session();
  StoreError Failure(const DbError& error) const;
  QString Term() const;

  QString uri_;
  QString description_;
  PgLimits limits_;
  std::chrono::milliseconds term_;
  QString holder_;  // this process, for as long as it runs
  std::unique_ptr<PgConnection> connection_;
};

}  // namespace skyloom

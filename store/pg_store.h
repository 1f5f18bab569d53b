#pragma once

#include <QString>
#include <chrono>
#include <memory>

#include "platform/pg_connection.h"
#include "store/sql_store.h"

namespace skyloom {

// A hung or locked server must never stall the schedule.
struct PgLimits {
  std::chrono::milliseconds connect{10'000};
  std::chrono::milliseconds statement{30'000};
};

// Opens a session in the collector's time zone, the one logtime is written and read in,
// whatever zone a shared server keeps. A zone the server does not know leaves its own.
DbExpected<void> OpenPgSession(PgConnection& connection, const QString& uri, PgLimits limits,
                               bool readOnly = false);

// The forecast database on a PostgreSQL server, shared by collectors on several machines.
// One session is kept and made again when the server has dropped it.
class PgStore final : public SqlStore {
 public:
  PgStore(QString uri, PgLimits limits, StoreAccess access = StoreAccess::ReadWrite);
  ~PgStore() override;

 protected:
  DbExpected<SqlSession*> OpenSession(Use use) override;
  bool CloseSession() override { return true; }
  DbExpected<bool> MakeTables() override;

 private:
  DbExpected<void> Connect();

  QString uri_;
  PgLimits limits_;
  bool readOnly_;
  std::unique_ptr<PgConnection> connection_;
  bool tablesChecked_ = false;
};

}  // namespace skyloom

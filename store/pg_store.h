#pragma once

#include <QString>
#include <chrono>
#include <memory>

#include "store/pg_link.h"
#include "store/sql_store.h"

namespace skyloom {

// The forecast database on a PostgreSQL server, shared by collectors on several machines.
// One session is kept and made again when the server has dropped it or turned read-only.
class PgStore final : public SqlStore {
 public:
  PgStore(QString uri, PgLimits limits, StoreAccess access = StoreAccess::ReadWrite);
  ~PgStore() override;

 protected:
  DbExpected<SqlSession*> OpenSession(Use use) override;
  bool CloseSession() override { return true; }
  DbExpected<bool> MakeTables() override;
  bool SessionFailed(const DbError& error) override { return link_.Check(error); }

 private:
  bool readOnly_;
  PgLink link_;
  bool tablesChecked_ = false;
};

}  // namespace skyloom

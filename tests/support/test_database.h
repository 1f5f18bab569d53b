#pragma once

#include <QString>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "support/scratch_db.h"

namespace skyloom::test {

class PgServer;

enum class Backend { Sqlite, Postgres };
std::string BackendName(Backend backend);
inline void PrintTo(Backend backend, std::ostream* out) { *out << BackendName(backend); }

// One test's own database on either backend, looked into as another program would.
class TestDatabase {
 public:
  virtual ~TestDatabase() = default;
  // What --db takes.
  virtual QString Location() const = 0;
  virtual void Exec(const QString& sql) const = 0;
  virtual std::vector<TqRow> Tq() const = 0;
  virtual std::vector<TqlogRow> Tqlog() const = 0;
  // Both tables, as another program would make them.
  virtual void MakeTablesElsewhere() const = 0;
};

// A scratch file, or a fresh database on a server the test program shares.
std::unique_ptr<TestDatabase> MakeTestDatabase(Backend backend);

// The PostgreSQL server of this test program, started on first use.
PgServer& SharedPgServer();

}  // namespace skyloom::test

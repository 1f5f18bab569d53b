#include "support/test_database.h"

#include <QDateTime>
#include <atomic>
#include <stdexcept>

#include "platform/pg_connection.h"
#include "support/pg_server.h"

namespace skyloom::test {
namespace {

using namespace std::chrono_literals;

class SqliteDatabase final : public TestDatabase {
 public:
  QString Location() const override { return file_.Path(); }
  void Exec(const QString& sql) const override { file_.Exec(sql); }
  std::vector<TqRow> Tq() const override { return file_.Tq(); }
  std::vector<TqlogRow> Tqlog() const override { return file_.Tqlog(); }
  void MakeTablesElsewhere() const override {
    file_.Exec(QStringLiteral(
        "CREATE TABLE tq(id INTEGER PRIMARY KEY AUTOINCREMENT, logtime TEXT, tqyb TEXT);"
        "CREATE TABLE tqlog(logtime TEXT, errstat TEXT, errnum INTEGER, errdes TEXT);"));
  }

 private:
  ScratchDb file_;
};

class PgDatabase final : public TestDatabase {
 public:
  PgDatabase() : name_(QStringLiteral("test%1").arg(++count_)) {
    SharedPgServer().CreateDatabase(name_);
  }
  QString Location() const override { return SharedPgServer().Uri(name_); }
  void Exec(const QString& sql) const override { SharedPgServer().Psql(sql, name_); }
  std::vector<TqRow> Tq() const override {
    std::vector<TqRow> rows;
    for (const SqlRow& row : Query("SELECT id, to_char(logtime, 'YYYY-MM-DD HH24:MI:SS'), tqyb "
                                   "FROM tq ORDER BY id")) {
      rows.push_back(TqRow{row[0]->toLongLong(), row[1].value_or(QString()),
                           row[2] ? QVariant(*row[2]) : QVariant()});
    }
    return rows;
  }
  std::vector<TqlogRow> Tqlog() const override {
    std::vector<TqlogRow> rows;
    for (const SqlRow& row :
         Query("SELECT to_char(logtime, 'YYYY-MM-DD HH24:MI:SS'), errstat, errnum, errdes "
               "FROM tqlog ORDER BY logtime, ctid")) {
      rows.push_back(TqlogRow{row[0].value_or(QString()), row[1].value_or(QString()),
                              row[2]->toLongLong(), row[3].value_or(QString())});
    }
    return rows;
  }
  void MakeTablesElsewhere() const override {
    Exec(
        QStringLiteral("CREATE TABLE tq(id serial PRIMARY KEY, logtime timestamp, tqyb text);"
                       "CREATE TABLE tqlog(logtime timestamp, errstat text, errnum int, "
                       "errdes text);"));
  }

 private:
  std::vector<SqlRow> Query(const char* sql) const {
    PgConnection connection;
    if (auto opened = connection.Open(Location(), 10s, 30s); !opened) {
      throw std::runtime_error(opened.error().message.toStdString());
    }
    auto rows = connection.Query(sql, {});
    if (!rows) throw std::runtime_error(rows.error().message.toStdString());
    return *rows;
  }

  static inline std::atomic<int> count_{0};
  QString name_;
};

}  // namespace

std::string BackendName(Backend backend) {
  return backend == Backend::Sqlite ? "sqlite" : "postgresql";
}

std::unique_ptr<TestDatabase> MakeTestDatabase(Backend backend) {
  if (backend == Backend::Sqlite) return std::make_unique<SqliteDatabase>();
  return std::make_unique<PgDatabase>();
}

PgServer& SharedPgServer() {
  static PgServer server;
  return server;
}

}  // namespace skyloom::test

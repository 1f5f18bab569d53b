#include "support/scratch_db.h"

#include <sqlite3.h>

#include <memory>
#include <stdexcept>

namespace skyloom::test {
namespace {

using Db = std::unique_ptr<sqlite3, decltype(&sqlite3_close_v2)>;

Db OpenDb(const QString& path) {
  sqlite3* raw = nullptr;
  const int code = sqlite3_open_v2(path.toUtf8().constData(), &raw,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  Db db(raw, &sqlite3_close_v2);
  if (code != SQLITE_OK) throw std::runtime_error("cannot open scratch database");
  // As another program beside a running collector would: its readers may hold the file for a
  // moment.
  sqlite3_busy_timeout(db.get(), 5000);
  return db;
}

QString Text(sqlite3_stmt* statement, int column) {
  const auto* text = static_cast<const char16_t*>(sqlite3_column_text16(statement, column));
  return QString::fromUtf16(text, sqlite3_column_bytes16(statement, column) / 2);
}

template <typename Row>
std::vector<Row> Query(const QString& path, const char* sql, Row (*read)(sqlite3_stmt*)) {
  Db db = OpenDb(path);
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db.get(), sql, -1, &raw, nullptr) != SQLITE_OK) {
    throw std::runtime_error(sqlite3_errmsg(db.get()));
  }
  std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> statement(raw, &sqlite3_finalize);
  std::vector<Row> rows;
  while (sqlite3_step(raw) == SQLITE_ROW) rows.push_back(read(raw));
  return rows;
}

}  // namespace

ScratchDb::ScratchDb() {
  if (!dir_.isValid()) throw std::runtime_error("cannot make a temporary folder");
}

QString ScratchDb::Path() const { return dir_.filePath(QStringLiteral("tqyb.mdb")); }

void ScratchDb::Exec(const QString& sql) const {
  Db db = OpenDb(Path());
  char* message = nullptr;
  if (sqlite3_exec(db.get(), sql.toUtf8().constData(), nullptr, nullptr, &message) != SQLITE_OK) {
    std::string text = message ? message : "sqlite error";
    sqlite3_free(message);
    throw std::runtime_error(text);
  }
}

std::vector<TqRow> ScratchDb::Tq() const {
  return Query<TqRow>(Path(), "SELECT id, logtime, tqyb FROM tq ORDER BY id", [](sqlite3_stmt* s) {
    return TqRow{sqlite3_column_int64(s, 0), Text(s, 1),
                 sqlite3_column_type(s, 2) == SQLITE_NULL ? QVariant() : QVariant(Text(s, 2))};
  });
}

std::vector<TqlogRow> ScratchDb::Tqlog() const {
  return Query<TqlogRow>(
      Path(), "SELECT logtime, errstat, errnum, errdes FROM tqlog ORDER BY rowid",
      [](sqlite3_stmt* s) {
        return TqlogRow{Text(s, 0), Text(s, 1), sqlite3_column_int64(s, 2), Text(s, 3)};
      });
}

}  // namespace skyloom::test

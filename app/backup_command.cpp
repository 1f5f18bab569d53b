#include "app/backup_command.h"

#include <cstdio>

#include "app/read_commands.h"
#include "platform/sqlite_backup.h"
#include "store/open_store.h"

namespace skyloom {
namespace {

void Fail(const QString& message) {
  std::fprintf(stderr, "skyloom: %s\n", message.toUtf8().constData());
}

}  // namespace

int RunBackup(const CommandLine& line) {
  const QString& database = line.service.databaseLocation;
  if (IsServerLocation(database)) {
    Fail(
        QStringLiteral("--backup copies a database file; back up a PostgreSQL server with "
                       "pg_dump, e.g. pg_dump -Fc -f skyloom.dump DATABASE"));
    return 1;
  }
  if (auto copied = BackUpSqliteDatabase(database, line.records.backupFile); !copied) {
    Fail(QStringLiteral("no backup made: %1").arg(copied.error().message));
    return 1;
  }
  std::printf("backed up %s to %s\n", database.toUtf8().constData(),
              line.records.backupFile.toUtf8().constData());
  return 0;
}

int RunCheckDb(const CommandLine& line) {
  const std::unique_ptr<ForecastStore> store = OpenForReading(line);
  if (!store) return 1;
  const auto check = store->CheckDatabase();
  if (!check) {
    Fail(QStringLiteral("the database is not sound: %1").arg(check.error().message));
    return 1;
  }
  QString report = QStringLiteral("database: %1\n").arg(store->Description());
  if (!check->server.isEmpty()) {
    report += QStringLiteral("server: %1, %2\n")
                  .arg(check->server, check->primary ? QStringLiteral("primary")
                                                     : QStringLiteral("standby (read-only)"));
  }
  report +=
      QStringLiteral("schema version: %1\nintegrity: %2\n")
          .arg(check->schemaVersion)
          .arg(check->problems.isEmpty() ? QStringLiteral("ok") : check->problems.join(u'\n'));
  for (const TableCheck& table : check->tables) {
    if (!table.rows) {
      report += QStringLiteral("%1: no table\n").arg(table.name);
      continue;
    }
    report += QStringLiteral("%1: %2 rows").arg(table.name).arg(*table.rows);
    if (!table.newest.isEmpty()) report += QStringLiteral(", newest %1").arg(table.newest);
    report += u'\n';
  }
  std::fputs(report.toUtf8().constData(), stdout);
  std::fflush(stdout);
  if (!check->problems.isEmpty()) {
    Fail(QStringLiteral("the database is not sound: %1").arg(check->problems.first()));
    return 1;
  }
  return 0;
}

}  // namespace skyloom

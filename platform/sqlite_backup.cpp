#include "platform/sqlite_backup.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

namespace skyloom {
namespace {

using namespace std::chrono_literals;

// A collector holds the write lock for one short transaction; the copy waits that long.
constexpr auto kBusyWait = 30s;

struct CloseDatabase {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Database = std::unique_ptr<sqlite3, CloseDatabase>;

DbError Error(sqlite3* db, const QString& what) {
  return DbError{sqlite3_extended_errcode(db),
                 QStringLiteral("%1: %2").arg(what, QString::fromUtf8(sqlite3_errmsg(db)))};
}

DbError SystemError(const QString& what) {
  return DbError{SQLITE_IOERR,
                 QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(errno)))};
}

DbExpected<Database> OpenDatabase(const QString& path, int flags, const QString& what) {
  sqlite3* raw = nullptr;
  const int code = sqlite3_open_v2(path.toUtf8().constData(), &raw, flags, nullptr);
  Database db(raw);
  if (code != SQLITE_OK) return std::unexpected(Error(raw, what));
  sqlite3_extended_result_codes(raw, 1);
  sqlite3_busy_timeout(raw, static_cast<int>(std::chrono::milliseconds(kBusyWait).count()));
  return db;
}

// One step over every page reads the source in one read transaction: a snapshot, which a
// step at a time would restart whenever the collector wrote between steps.
DbExpected<void> CopyPages(sqlite3* from, sqlite3* to, const QString& copy) {
  sqlite3_backup* backup = sqlite3_backup_init(to, "main", from, "main");
  if (!backup) return std::unexpected(Error(to, QStringLiteral("cannot copy into %1").arg(copy)));
  const auto giveUp = std::chrono::steady_clock::now() + kBusyWait;
  int code = SQLITE_OK;
  while (true) {
    code = sqlite3_backup_step(backup, -1);
    if ((code != SQLITE_BUSY && code != SQLITE_LOCKED) ||
        std::chrono::steady_clock::now() > giveUp) {
      break;
    }
    std::this_thread::sleep_for(10ms);
  }
  sqlite3_backup_finish(backup);
  if (code == SQLITE_DONE) return {};
  const int reason =
      sqlite3_extended_errcode(to) != SQLITE_OK ? sqlite3_extended_errcode(to) : code;
  return std::unexpected(
      DbError{reason, QStringLiteral("cannot copy into %1: %2")
                          .arg(copy, QString::fromUtf8(sqlite3_errstr(reason)))});
}

DbExpected<void> CheckIntegrity(sqlite3* db, const QString& copy) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &raw, nullptr) != SQLITE_OK) {
    return std::unexpected(Error(db, QStringLiteral("cannot check %1").arg(copy)));
  }
  const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> statement(raw, &sqlite3_finalize);
  QStringList problems;
  int code = SQLITE_ROW;
  while ((code = sqlite3_step(raw)) == SQLITE_ROW) {
    const QString line =
        QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(raw, 0)));
    if (line != QLatin1String("ok")) problems << line;
  }
  if (code != SQLITE_DONE)
    return std::unexpected(Error(db, QStringLiteral("cannot check %1").arg(copy)));
  if (!problems.isEmpty()) {
    return std::unexpected(
        DbError{SQLITE_CORRUPT, QStringLiteral("the copy fails the integrity check: %1")
                                    .arg(problems.join(QStringLiteral("; ")))});
  }
  return {};
}

DbExpected<void> Sync(const QString& path, int flags) {
  const int fd = ::open(QFile::encodeName(path).constData(), flags | O_CLOEXEC);
  if (fd < 0) return std::unexpected(SystemError(QStringLiteral("cannot open %1").arg(path)));
  const int synced = ::fsync(fd);
  ::close(fd);
  if (synced != 0) return std::unexpected(SystemError(QStringLiteral("cannot sync %1").arg(path)));
  return {};
}

// What SQLite may have made beside the copy, and the copy itself.
void RemoveCopy(const QString& copy) {
  for (const char* suffix : {"", "-journal", "-wal", "-shm"})
    QFile::remove(copy + QLatin1String(suffix));
}

DbExpected<void> MakeCopy(const QString& source, const QString& copy) {
  auto from =
      OpenDatabase(source, SQLITE_OPEN_READONLY, QStringLiteral("cannot open %1").arg(source));
  if (!from) return std::unexpected(from.error());
  auto to = OpenDatabase(copy, SQLITE_OPEN_READWRITE, QStringLiteral("cannot open %1").arg(copy));
  if (!to) return std::unexpected(to.error());
  if (auto copied = CopyPages(from->get(), to->get(), copy); !copied) return copied;
  from->reset();
  // A copy of a write-ahead file is one too; as a single file it needs no log beside it.
  if (sqlite3_exec(to->get(), "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr) !=
      SQLITE_OK) {
    return std::unexpected(Error(to->get(), QStringLiteral("cannot finish %1").arg(copy)));
  }
  if (auto checked = CheckIntegrity(to->get(), copy); !checked) return checked;
  if (sqlite3_close(to->release()) != SQLITE_OK) {
    return std::unexpected(DbError{SQLITE_IOERR, QStringLiteral("cannot close %1").arg(copy)});
  }
  return Sync(copy, O_RDONLY);
}

}  // namespace

DbExpected<void> BackUpSqliteDatabase(const QString& source, const QString& destination) {
  const QFileInfo target(destination);
  if (!QFileInfo::exists(source)) {
    return std::unexpected(
        DbError{SQLITE_CANTOPEN, QStringLiteral("there is no database at %1").arg(source)});
  }
  if (target.exists() && target.canonicalFilePath() == QFileInfo(source).canonicalFilePath()) {
    return std::unexpected(
        DbError{SQLITE_MISUSE, QStringLiteral("the backup would overwrite the database itself")});
  }
  const QString folder = target.absolutePath();
  QTemporaryFile made(QStringLiteral("%1/.%2.XXXXXX").arg(folder, target.fileName()));
  if (!made.open()) {
    return std::unexpected(DbError{
        SQLITE_CANTOPEN,
        QStringLiteral("cannot make the backup in %1: %2").arg(folder, made.errorString())});
  }
  made.setAutoRemove(false);
  const QString copy = made.fileName();
  made.close();
  auto done = MakeCopy(source, copy);
  if (done && ::rename(QFile::encodeName(copy).constData(),
                       QFile::encodeName(target.absoluteFilePath()).constData()) != 0) {
    done = std::unexpected(
        SystemError(QStringLiteral("cannot rename %1 to %2").arg(copy, destination)));
  }
  if (!done) {
    RemoveCopy(copy);
    return done;
  }
  // The rename lasts only once the folder is on the disk too.
  return Sync(folder, O_RDONLY | O_DIRECTORY);
}

}  // namespace skyloom

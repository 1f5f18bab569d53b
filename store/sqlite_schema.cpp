#include "store/sqlite_schema.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryFile>
#include <cerrno>
#include <cstring>

#include "store/schema.h"

namespace skyloom {
namespace {

constexpr char kScratchInfix[] = ".new-";
// Far longer than making a file takes: an older scratch file was left by a killed run.
constexpr qint64 kStaleScratchSeconds = 600;

void RemoveStaleScratchFiles(const QFileInfo& target) {
  QDir folder = target.dir();
  const QStringList names = folder.entryList(
      {target.fileName() + QLatin1String(kScratchInfix) + QLatin1Char('*')}, QDir::Files);
  const QDateTime staleBefore = QDateTime::currentDateTime().addSecs(-kStaleScratchSeconds);
  for (const QString& name : names) {
    if (QFileInfo(folder, name).lastModified() < staleBefore) folder.remove(name);
  }
}

// Builds the file beside its final place, then links it in: link() never replaces a file
// that another process created meanwhile, and a crash leaves no empty database behind.
DbExpected<void> CreateDatabase(const QString& path) {
  const QFileInfo target(path);
  if (!target.dir().exists()) {
    return std::unexpected(DbError{
        SQLITE_CANTOPEN, QStringLiteral("the folder %1 does not exist").arg(target.dir().path())});
  }
  RemoveStaleScratchFiles(target);
  QTemporaryFile scratch(path + QLatin1String(kScratchInfix) + QStringLiteral("XXXXXX"));
  if (!scratch.open()) {
    return std::unexpected(DbError{
        SQLITE_CANTOPEN, QStringLiteral("cannot create the file: %1").arg(scratch.errorString())});
  }
  {
    SqliteConnection connection;
    // No one sees the scratch file before it is complete, so it needs no journal.
    auto made = connection.Open(scratch.fileName(), SqliteAccess::ReadWriteCreate);
    if (made) made = connection.Execute("PRAGMA journal_mode=OFF");
    if (!made) return made;
    if (auto upgraded = UpgradeSchema(connection, SqlEngine::Sqlite); !upgraded) {
      return std::unexpected(upgraded.error());
    }
  }
  const QByteArray from = QFile::encodeName(scratch.fileName());
  const QByteArray to = QFile::encodeName(path);
  if (::link(from.constData(), to.constData()) != 0 && errno != EEXIST) {
    return std::unexpected(
        DbError{SQLITE_CANTOPEN, QStringLiteral("cannot create the file: %1")
                                     .arg(QString::fromLocal8Bit(std::strerror(errno)))});
  }
  const int folder = ::open(QFile::encodeName(target.dir().path()).constData(), O_RDONLY);
  if (folder >= 0) {
    ::fsync(folder);
    ::close(folder);
  }
  return {};
}

DbExpected<void> CheckTables(SqliteConnection& connection) {
  const auto tables = connection.QueryInt(
      "SELECT count(*) FROM sqlite_master WHERE type='table' AND name IN ('tq','tqlog')", {});
  if (!tables) return std::unexpected(tables.error());
  if (*tables != 2) {
    return std::unexpected(
        DbError{SQLITE_CANTOPEN, QStringLiteral("the file lacks the tables tq and tqlog")});
  }
  return {};
}

// SQLite takes an empty file for an empty database. The first step makes both tables in one
// transaction, so a reader sees them all or none, and a second maker finds them there.
DbExpected<bool> FillEmptyFile(const QString& path) {
  SqliteConnection connection;
  if (auto opened = connection.Open(path, SqliteAccess::ReadWrite); !opened) {
    return std::unexpected(opened.error());
  }
  return UpgradeSchema(connection, SqlEngine::Sqlite);
}

}  // namespace

DbExpected<void> OpenForecastDatabase(SqliteConnection& connection, const QString& path,
                                      SqliteAccess access) {
  const bool writes = access == SqliteAccess::ReadWrite || access == SqliteAccess::ReadWriteCreate;
  if (!QFileInfo::exists(path)) {
    if (access != SqliteAccess::ReadWriteCreate) {
      return std::unexpected(DbError{SQLITE_CANTOPEN, QStringLiteral("the file does not exist")});
    }
    if (auto made = CreateDatabase(path); !made) return made;
  }
  auto opened = connection.Open(path, writes ? SqliteAccess::ReadWrite : access);
  if (opened) opened = CheckTables(connection);
  // Only a file of ours is switched, and only by a writer: the switch rewrites the header.
  // With the log, readers keep their snapshot while a forecast commits instead of holding the
  // writer off.
  if (opened && writes) opened = connection.TryWriteAheadLog();
  return opened;
}

DbExpected<bool> CreateForecastDatabase(const QString& path) {
  const QFileInfo file(path);
  bool created = !file.exists();
  if (file.isFile() && file.size() == 0) {
    const auto filled = FillEmptyFile(path);
    if (!filled) return filled;
    created = *filled;
  }
  SqliteConnection connection;
  auto opened = OpenForecastDatabase(connection, path, SqliteAccess::ReadWriteCreate);
  if (!opened) return std::unexpected(opened.error());
  return created;
}

}  // namespace skyloom

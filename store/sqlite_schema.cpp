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
std::optional<DbError> CreateDatabase(const QString& path) {
  const QFileInfo target(path);
  if (!target.dir().exists()) {
    return DbError{SQLITE_CANTOPEN,
                   QStringLiteral("the folder %1 does not exist").arg(target.dir().path())};
  }
  RemoveStaleScratchFiles(target);
  QTemporaryFile scratch(path + QLatin1String(kScratchInfix) + QStringLiteral("XXXXXX"));
  if (!scratch.open()) {
    return DbError{SQLITE_CANTOPEN,
                   QStringLiteral("cannot create the file: %1").arg(scratch.errorString())};
  }
  {
    SqliteConnection connection;
    if (auto error = connection.Open(scratch.fileName(), /*create=*/true)) return error;
    // No one sees the scratch file before it is complete, so it needs no journal.
    if (auto error = connection.Execute("PRAGMA journal_mode=OFF")) return error;
    if (auto error = connection.Execute("BEGIN")) return error;
    if (auto error = connection.Execute(kSchemaSql)) return error;
    if (auto error = connection.Execute("COMMIT")) return error;
  }
  const QByteArray from = QFile::encodeName(scratch.fileName());
  const QByteArray to = QFile::encodeName(path);
  if (::link(from.constData(), to.constData()) != 0 && errno != EEXIST) {
    return DbError{SQLITE_CANTOPEN, QStringLiteral("cannot create the file: %1")
                                        .arg(QString::fromLocal8Bit(std::strerror(errno)))};
  }
  const int folder = ::open(QFile::encodeName(target.dir().path()).constData(), O_RDONLY);
  if (folder >= 0) {
    ::fsync(folder);
    ::close(folder);
  }
  return std::nullopt;
}

}  // namespace

std::optional<DbError> OpenForecastDatabase(SqliteConnection& connection, const QString& path,
                                            bool create) {
  if (!QFileInfo::exists(path)) {
    if (!create) return DbError{SQLITE_CANTOPEN, QStringLiteral("the file does not exist")};
    if (auto error = CreateDatabase(path)) return error;
  }
  if (auto error = connection.Open(path, /*create=*/false)) return error;
  std::vector<SqlRow> tables;
  if (auto error = connection.Query(
          "SELECT count(*) FROM sqlite_master WHERE type='table' AND name IN ('tq','tqlog')", {},
          tables)) {
    return error;
  }
  if (tables.empty() || tables[0][0] != QStringLiteral("2")) {
    return DbError{SQLITE_CANTOPEN, QStringLiteral("the file lacks the tables tq and tqlog")};
  }
  // Only a file of ours is switched: the switch rewrites the header. With the log, readers
  // keep their snapshot while a forecast commits instead of holding the writer off.
  return connection.TryWriteAheadLog();
}

}  // namespace skyloom

#include "store/file_collector_lease.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>

#include "platform/sqlite_connection.h"
#include "store/sqlite_schema.h"

namespace skyloom {
namespace {

StoreError Failure(const QString& path, const QString& what) {
  return StoreError{0, QStringLiteral("Database %1: %2").arg(path, what)};
}

QString Reason(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

QString LockPath(const QString& databasePath) {
  const QString real = QFileInfo(databasePath).canonicalFilePath();
  return (real.isEmpty() ? databasePath : real) + QStringLiteral(".collector-lock");
}

}  // namespace

FileCollectorLease::FileCollectorLease(QString databasePath, std::chrono::milliseconds interval)
    : databasePath_(std::move(databasePath)), interval_(interval) {}

FileCollectorLease::~FileCollectorLease() { Release(); }

StoreExpected<CollectorRole> FileCollectorLease::Hold(Deadline) {
  if (lock_ >= 0) return CollectorRole::Active;
  // Named anew each time: the database may have been made since the last look.
  const QString lockPath = LockPath(databasePath_);
  // Read-only is enough for flock, so a collector of another user can share the file. Not
  // inherited: a command run on a new forecast must not keep the turn after we die.
  const int file =
      ::open(QFile::encodeName(lockPath).constData(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
  if (file < 0) {
    return std::unexpected(
        Failure(databasePath_, QStringLiteral("cannot open %1: %2").arg(lockPath, Reason(errno))));
  }
  if (::flock(file, LOCK_EX | LOCK_NB) == 0) {
    lock_ = file;
    return CollectorRole::Active;
  }
  const int reason = errno;
  ::close(file);
  if (reason == EWOULDBLOCK) return CollectorRole::Standby;
  return std::unexpected(
      Failure(databasePath_, QStringLiteral("cannot lock %1: %2").arg(lockPath, Reason(reason))));
}

void FileCollectorLease::Release() {
  if (lock_ < 0) return;
  ::close(lock_);
  lock_ = -1;
}

StoreExpected<bool> FileCollectorLease::Logged(std::chrono::seconds span, Deadline) {
  // A file this process may not write gets no second row for the slot from it, and reading
  // it would leave the write-ahead files behind.
  if (!QFileInfo(databasePath_).isWritable()) {
    return std::unexpected(Failure(databasePath_, QStringLiteral("the file is not writable")));
  }
  SqliteConnection connection;
  auto opened = OpenForecastDatabase(connection, databasePath_, SqliteAccess::ReadOnly);
  if (!opened) return std::unexpected(Failure(databasePath_, opened.error().message));
  // The collectors' clock wrote tqlog's times, in whole seconds, and this one reads it. A row
  // from the future (a clock set back) is no attempt in this slot.
  const auto taken = connection.QueryInt(
      "SELECT EXISTS(SELECT 1 FROM tqlog WHERE logtime BETWEEN datetime('now','localtime',?) "
      "AND datetime('now','localtime'))",
      {QStringLiteral("-%1 seconds").arg(span.count())});
  if (!taken) return std::unexpected(Failure(databasePath_, taken.error().message));
  return *taken != 0;
}

}  // namespace skyloom

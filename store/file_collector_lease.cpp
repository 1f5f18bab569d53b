#include "store/file_collector_lease.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "store/sqlite_store.h"

namespace skyloom {
namespace {

StoreError Failure(const QString& path, const QString& what) {
  return StoreError{0, QStringLiteral("Database %1: %2").arg(path, what)};
}

QString Reason(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// "taken=<UTC, ISO 8601>\n"; what cannot be read is not known.
Turn ReadTurn(int file) {
  char text[256];
  const ssize_t size = ::pread(file, text, sizeof text, 0);
  Turn turn;
  for (const QString& line : QString::fromLatin1(text, std::max<ssize_t>(size, 0)).split('\n')) {
    if (line.startsWith(QLatin1String("taken=")))
      turn.taken = QDateTime::fromString(line.section('=', 1), Qt::ISODate);
  }
  return turn;
}

bool WriteTurn(int file, const Turn& turn) {
  const QByteArray text = "taken=" + turn.taken.toUTC().toString(Qt::ISODate).toLatin1() + "\n";
  return ::ftruncate(file, 0) == 0 &&
         ::pwrite(file, text.constData(), static_cast<size_t>(text.size()), 0) == text.size();
}

// The slot is written with the attempt that fetched it, in the database, read as any reader
// reads it: never writing to the file.
std::optional<QDateTime> ReadLastSlot(const QString& databasePath) {
  return SqliteStore(databasePath, StoreAccess::ReadOnly).LastSlot();
}

QString LockPath(const QString& databasePath) {
  const QString real = QFileInfo(databasePath).canonicalFilePath();
  return (real.isEmpty() ? databasePath : real) + QStringLiteral(".collector-lock");
}

}  // namespace

FileCollectorLease::FileCollectorLease(QString databasePath, std::chrono::milliseconds interval)
    : databasePath_(std::move(databasePath)), interval_(interval) {}

FileCollectorLease::~FileCollectorLease() { Release(); }

StoreExpected<Turn> FileCollectorLease::Hold(Deadline) {
  if (lock_ >= 0) return turn_;
  // Named anew each time: the database may have been made since the last look.
  const QString lockPath = LockPath(databasePath_);
  // Read-only is enough for flock, so a collector of another user can still share the file,
  // though it cannot record its slots. Not inherited: a command run on a new forecast must
  // not keep the turn after we die.
  const QByteArray name = QFile::encodeName(lockPath);
  int file = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (file < 0 && (errno == EACCES || errno == EROFS)) {
    file = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
  }
  if (file < 0) {
    return std::unexpected(
        Failure(databasePath_, QStringLiteral("cannot open %1: %2").arg(lockPath, Reason(errno))));
  }
  if (::flock(file, LOCK_EX | LOCK_NB) == 0) {
    lock_ = file;
    turn_ = ReadTurn(file);
    turn_.lastSlot = ReadLastSlot(databasePath_);
    turn_.role = CollectorRole::Active;
    turn_.taken = QDateTime::currentDateTimeUtc();
    (void)WriteTurn(file, turn_);
    return turn_;
  }
  const int reason = errno;
  // A standby fetches nothing, so the group's slot is read only when the turn is taken.
  Turn turn = ReadTurn(file);
  turn.role = CollectorRole::Standby;
  ::close(file);
  if (reason == EWOULDBLOCK) return turn;
  return std::unexpected(
      Failure(databasePath_, QStringLiteral("cannot lock %1: %2").arg(lockPath, Reason(reason))));
}

void FileCollectorLease::Release() {
  if (lock_ < 0) return;
  ::close(lock_);
  lock_ = -1;
}

}  // namespace skyloom

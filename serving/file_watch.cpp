#include "serving/file_watch.h"

#include <sys/inotify.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>

namespace skyloom {
namespace {

// File systems whose files other machines write without this kernel hearing of it.
struct Remote {
  unsigned long magic;
  const char* name;
};
constexpr Remote kRemote[] = {
    {0x6969, "NFS"},      {0xFF534D42, "CIFS"}, {0xFE534D42, "SMB2"},
    {0x517B, "SMB"},      {0x65735546, "FUSE"}, {0x01021997, "9P"},
    {0x00C36400, "Ceph"}, {0x47504653, "GPFS"}, {0x0BD00BD0, "Lustre"},
};

// Every change SQLite makes to its files, and every way a file comes, goes or is replaced.
constexpr uint32_t kEvents = IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_FROM |
                             IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;

QString SystemError(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

}  // namespace

DatabaseFileWatch::DatabaseFileWatch(const QString& path) : path_(path) {}

DatabaseFileWatch::~DatabaseFileWatch() {
  if (descriptor_ >= 0) ::close(descriptor_);
}

std::optional<QString> DatabaseFileWatch::Start() {
  // SQLite follows a symbolic link and keeps its -wal beside the file it leads to.
  const QFileInfo given(path_);
  const QString real = given.exists() ? given.canonicalFilePath() : given.absoluteFilePath();
  const QFileInfo file(real);
  const QByteArray folder = QFile::encodeName(file.absolutePath());
  name_ = QFile::encodeName(file.fileName());
  struct statfs system {};
  if (::statfs(folder.constData(), &system) != 0) {
    return QStringLiteral("the folder %1 cannot be read: %2")
        .arg(file.absolutePath(), SystemError(errno));
  }
  for (const Remote& remote : kRemote) {
    if (static_cast<unsigned long>(system.f_type) == remote.magic) {
      return QStringLiteral(
                 "the file lies on %1, whose writes from other machines inotify "
                 "never hears of")
          .arg(QString::fromLatin1(remote.name));
    }
  }
  const int descriptor = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (descriptor < 0) return QStringLiteral("no inotify: %1").arg(SystemError(errno));
  if (::inotify_add_watch(descriptor, folder.constData(), kEvents | IN_ONLYDIR) < 0) {
    const int error = errno;
    ::close(descriptor);
    return QStringLiteral("inotify cannot watch %1: %2")
        .arg(file.absolutePath(), SystemError(error));
  }
  descriptor_ = descriptor;
  return std::nullopt;
}

DatabaseFileWatch::News DatabaseFileWatch::Take() {
  News news;
  if (descriptor_ < 0) return news;
  alignas(inotify_event) char buffer[16 * 1024];
  for (;;) {
    const ssize_t got = ::read(descriptor_, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (event->mask & IN_Q_OVERFLOW) news.touched = true;
      if (event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) {
        news.lost = news.touched = true;
      }
      if (event->len == 0) continue;
      const QByteArrayView name(event->name, static_cast<qsizetype>(std::strlen(event->name)));
      if (!name.startsWith(name_)) continue;
      const QByteArrayView rest = name.sliced(name_.size());
      if (rest.isEmpty() || rest == "-wal" || rest == "-journal") news.touched = true;
    }
  }
  return news;
}

}  // namespace skyloom

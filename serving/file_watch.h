#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <optional>

namespace skyloom {

// What the kernel tells through inotify of an SQLite file and the files SQLite keeps beside it
// (-wal, -journal): a write, a file made, removed or renamed over it. It watches the folder,
// so that a file made later, or one renamed into place (a restored backup), is seen too.
class DatabaseFileWatch final {
 public:
  explicit DatabaseFileWatch(const QString& path);
  ~DatabaseFileWatch();
  Q_DISABLE_COPY_MOVE(DatabaseFileWatch)

  // Starts watching; why it cannot, if it cannot: no inotify, no room for another watch, a
  // folder that cannot be read, or a network file system, whose other machines' writes the
  // kernel here never hears of.
  std::optional<QString> Start();
  // Readable while news waits; -1 before Start.
  int Descriptor() const { return descriptor_; }

  struct News {
    bool touched = false;  // something happened to one of the database's files
    bool lost = false;     // the folder went away: nothing more will be told
  };
  // Takes all the news waiting, without waiting for more.
  News Take();

 private:
  QString path_;
  QByteArray name_;  // the file's name in its folder
  int descriptor_ = -1;
};

}  // namespace skyloom

#pragma once

#include <QFile>
#include <QTemporaryDir>
#include <QtGlobal>

namespace skyloom::test {

// While it lives, programs started from here find a file that is no library under `soname`
// before the system's: what a half-removed install looks like to the dynamic loader.
class BrokenLibrary final {
 public:
  explicit BrokenLibrary(const char* soname) : before_(qgetenv("LD_LIBRARY_PATH")) {
    QFile file(folder_.filePath(QString::fromLatin1(soname)));
    if (file.open(QIODevice::WriteOnly)) file.write("not a library\n");
    qputenv("LD_LIBRARY_PATH",
            folder_.path().toLocal8Bit() + (before_.isEmpty() ? QByteArray() : ":" + before_));
  }
  ~BrokenLibrary() {
    if (before_.isEmpty()) {
      qunsetenv("LD_LIBRARY_PATH");
    } else {
      qputenv("LD_LIBRARY_PATH", before_);
    }
  }
  BrokenLibrary(const BrokenLibrary&) = delete;
  BrokenLibrary& operator=(const BrokenLibrary&) = delete;

 private:
  QTemporaryDir folder_;
  QByteArray before_;
};

}  // namespace skyloom::test

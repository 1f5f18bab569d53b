#include "support/application.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

namespace skyloom::test {

QCoreApplication& Application() {
  if (QCoreApplication* existing = QCoreApplication::instance()) return *existing;
  static int argc = 1;
  static char name[] = "skyloom-tests";
  static char* argv[] = {name, nullptr};
  static QCoreApplication application(argc, argv);
  return application;
}

bool Eventually(const std::function<bool()>& done, int boundMs) {
  Application();
  const QDeadlineTimer deadline(boundMs);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  }
  return true;
}

}  // namespace skyloom::test

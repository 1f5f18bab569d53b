#pragma once

#include <QString>
#include <chrono>
#include <functional>

class QObject;
class QThread;

namespace skyloom {

// A thread that runs posted work one piece at a time, in order. Work may block on a server or
// a database; whoever posts it never does.
class WorkerThread final {
 public:
  explicit WorkerThread(const QString& name);
  // Waits two seconds at most for the work under way. A thread still stuck in a call is left
  // running until the process exits, since destroying it would abort the program; whatever that
  // work uses must be kept alive by the work itself.
  ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  void Post(std::function<void()> work);

 private:
  QThread* thread_;
  QObject* context_;  // lives on the thread; work is posted to it
};

}  // namespace skyloom

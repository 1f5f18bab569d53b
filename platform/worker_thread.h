#pragma once

#include <QString>
#include <chrono>
#include <functional>
#include <memory>

class QObject;
class QThread;

namespace skyloom {

// Keeps `what` alive until the process exits: work stuck in a call past a stop still uses it.
// The list is never destroyed, so the exit handlers cannot free it from under the work either.
void KeepUntilExit(std::shared_ptr<void> what);

// The one kind of thread the program starts: a named thread that runs posted work one piece
// at a time, in order. Work may block on a server or a database; whoever posts it never does.
// Stopping it interrupts the work under way, waits a bounded time, and leaves a thread still
// stuck in a call to the process's exit, with what it uses kept alive.
class WorkerThread final {
 public:
  // `interrupt` ends a call under way from another thread: a store's Interrupt, a request's
  // cancel flag.
  explicit WorkerThread(const QString& name, std::function<void()> interrupt = {});
  // Stops (see Stop).
  ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  void Post(std::function<void()> work);

  // Interrupts the work under way and waits two seconds at most for it to end. A thread still
  // stuck in a call is left running until the process exits, since destroying it would abort
  // the program; it keeps `uses` alive. True when the thread ended; later calls do nothing.
  bool Stop(std::shared_ptr<void> uses = {});

 private:
  std::function<void()> interrupt_;
  QThread* thread_;
  QObject* context_;  // lives on the thread; work is posted to it
  bool ended_ = false;
};

}  // namespace skyloom

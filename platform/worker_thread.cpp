#include "platform/worker_thread.h"

#include <QThread>
#include <mutex>
#include <utility>
#include <vector>

namespace skyloom {
namespace {

constexpr std::chrono::seconds kFinishBound{2};

// Threads stuck in a call that never returned, kept reachable until the process exits. The
// list is never destroyed: a static one would be freed by the exit handlers, while the threads
// still run, and before the leak checker of a sanitized build looks.
void LeaveRunning(QThread* thread, QObject* context) {
  static std::mutex mutex;
  static auto* const stuck = new std::vector<std::pair<QThread*, QObject*>>;
  const std::lock_guard lock(mutex);
  stuck->emplace_back(thread, context);
}

}  // namespace

WorkerThread::WorkerThread(const QString& name) : thread_(new QThread), context_(new QObject) {
  thread_->setObjectName(name);
  context_->moveToThread(thread_);
  thread_->start();
}

WorkerThread::~WorkerThread() {
  thread_->quit();
  if (!thread_->wait(kFinishBound)) {
    LeaveRunning(thread_, context_);
    return;
  }
  delete context_;
  delete thread_;
}

void WorkerThread::Post(std::function<void()> work) {
  QMetaObject::invokeMethod(context_, std::move(work));
}

}  // namespace skyloom

#include "platform/worker_thread.h"

#include <QThread>
#include <mutex>
#include <utility>
#include <vector>

namespace skyloom {
namespace {

constexpr std::chrono::seconds kFinishBound{2};

// What a stuck thread's work still uses, and the thread itself.
struct Stuck {
  std::shared_ptr<void> uses;
  QThread* thread;
  QObject* context;
};

}  // namespace

void KeepUntilExit(std::shared_ptr<void> what) {
  static std::mutex mutex;
  static auto* const kept = new std::vector<std::shared_ptr<void>>;
  const std::lock_guard lock(mutex);
  kept->push_back(std::move(what));
}

WorkerThread::WorkerThread(const QString& name, std::function<void()> interrupt)
    : interrupt_(std::move(interrupt)), thread_(new QThread), context_(new QObject) {
  thread_->setObjectName(name);
  context_->moveToThread(thread_);
  thread_->start();
}

WorkerThread::~WorkerThread() { Stop(); }

bool WorkerThread::Stop(std::shared_ptr<void> uses) {
  if (std::exchange(ended_, true)) return true;
  if (interrupt_) interrupt_();
  thread_->quit();
  if (!thread_->wait(kFinishBound)) {
    KeepUntilExit(std::make_shared<Stuck>(Stuck{std::move(uses), thread_, context_}));
    return false;
  }
  delete context_;
  delete thread_;
  return true;
}

void WorkerThread::Post(std::function<void()> work) {
  QMetaObject::invokeMethod(context_, std::move(work));
}

}  // namespace skyloom

#include "collecting/worker_thread.h"

namespace skyloom {

WorkerThread::~WorkerThread() {
  {
    const std::lock_guard lock(mutex_);
    quit_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

std::error_code WorkerThread::Run(std::function<void()> job) {
  Wait();
  if (!thread_.joinable()) {
    try {
      thread_ = std::thread([this] { Work(); });
    } catch (const std::system_error& failure) {
      return failure.code();
    }
  }
  {
    const std::lock_guard lock(mutex_);
    job_ = std::move(job);
    busy_ = true;
  }
  changed_.notify_all();
  return {};
}

void WorkerThread::Wait() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return !busy_; });
}

void WorkerThread::Work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return quit_ || busy_; });
    if (busy_) {
      std::function<void()> job = std::move(job_);
      lock.unlock();
      job();
      job = nullptr;
      lock.lock();
      busy_ = false;
      changed_.notify_all();
    } else {
      return;
    }
  }
}

}  // namespace skyloom

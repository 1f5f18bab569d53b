#include "serving/store_readers.h"

#include <system_error>

#include "store/open_store.h"

namespace skyloom {

StoreReaders::StoreReaders(QString location, PgLimits limits)
    : location_(std::move(location)), limits_(limits) {}

StoreReaders::~StoreReaders() { Stop(); }

std::optional<QString> StoreReaders::Start(int threads, std::size_t queued) {
  queued_ = queued;
  stopping_ = false;
  try {
    for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { Work(); });
  } catch (const std::system_error& failure) {
    Stop();
    return QString::fromLocal8Bit(failure.what());
  }
  return std::nullopt;
}

bool StoreReaders::Submit(Job job) {
  {
    const std::lock_guard lock(mutex_);
    if (stopping_ || threads_.empty() || jobs_.size() >= queued_) return false;
    jobs_.push_back(std::move(job));
  }
  wake_.notify_one();
  return true;
}

void StoreReaders::Stop() {
  std::deque<Job> dropped;
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
    dropped.swap(jobs_);
  }
  wake_.notify_all();
  dropped.clear();  // outside the lock: a dropped job may end a connection
  for (std::thread& thread : threads_) thread.join();
  threads_.clear();
}

void StoreReaders::Work() {
  // Opened here and used by this thread alone: a PostgreSQL session serves one caller.
  const std::unique_ptr<ForecastStore> store = OpenStore(location_, limits_);
  for (;;) {
    Job job;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (stopping_) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    job(*store);
  }
}

}  // namespace skyloom

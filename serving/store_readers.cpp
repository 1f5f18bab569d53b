#include "serving/store_readers.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <vector>

#include "platform/worker_thread.h"
#include "store/open_store.h"

namespace skyloom {
namespace {

// A reader with nothing to do for this long closes its store: an API nobody asks holds no
// connections.
constexpr std::chrono::seconds kIdleClose{30};

}  // namespace

// What the readers use, kept alive by them: a reader stuck in a call past Stop still has its
// queue and its lock.
struct StoreReaders::Shared {
  QString location;
  PgLimits limits;
  int most = 0;
  std::size_t queued = 0;
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<Job> jobs;
  bool stopping = false;
  int idle = 0;
  std::set<ForecastStore*> stores;  // those open, for interrupting them
  std::vector<std::unique_ptr<WorkerThread>> threads;

  void Work();
  // Wakes every reader to end and interrupts the reads under way.
  void Halt();
};

StoreReaders::StoreReaders(QString location, PgLimits limits)
    : location_(std::move(location)), limits_(limits) {}

StoreReaders::~StoreReaders() { Stop(); }

void StoreReaders::Start(int threads, std::size_t queued) {
  Stop();
  shared_ = std::make_shared<Shared>();
  shared_->location = location_;
  shared_->limits = limits_;
  shared_->most = threads;
  shared_->queued = queued;
}

bool StoreReaders::Submit(Job job) {
  if (!shared_) return false;
  {
    const std::lock_guard lock(shared_->mutex);
    if (shared_->stopping || shared_->jobs.size() >= shared_->queued) return false;
    // Readers start when reads come, up to their number.
    if (shared_->idle == 0 && std::ssize(shared_->threads) < shared_->most) {
      auto& thread = shared_->threads.emplace_back(std::make_unique<WorkerThread>(
          QStringLiteral("API reader"), [shared = shared_] { shared->Halt(); }));
      thread->Post([shared = shared_] { shared->Work(); });
    }
    shared_->jobs.push_back(std::move(job));
  }
  shared_->wake.notify_one();
  return true;
}

void StoreReaders::Stop() {
  if (!shared_) return;
  const std::shared_ptr<Shared> shared = std::exchange(shared_, nullptr);
  shared->Halt();
  std::deque<Job> dropped;
  std::vector<std::unique_ptr<WorkerThread>> threads;
  {
    const std::lock_guard lock(shared->mutex);
    dropped.swap(shared->jobs);
    threads.swap(shared->threads);
  }
  dropped.clear();  // outside the lock: a dropped job may end a connection
  // All were told to end at once, so the waits overlap.
  for (const auto& thread : threads) thread->Stop(shared);
}

void StoreReaders::Shared::Halt() {
  {
    const std::lock_guard lock(mutex);
    stopping = true;
    for (ForecastStore* store : stores) store->Interrupt();
  }
  wake.notify_all();
}

void StoreReaders::Shared::Work() {
  // Opened here and used by this thread alone: a PostgreSQL session serves one caller.
  std::unique_ptr<ForecastStore> store;
  const auto close = [&](std::unique_lock<std::mutex>& lock) {
    stores.erase(store.get());
    lock.unlock();
    store.reset();  // not under the lock: closing may take a moment
    lock.lock();
  };
  std::unique_lock lock(mutex);
  const auto ready = [this] { return stopping || !jobs.empty(); };
  while (!stopping) {
    ++idle;
    const bool woken =
        store ? wake.wait_for(lock, kIdleClose, ready) : (wake.wait(lock, ready), true);
    --idle;
    if (stopping) break;
    if (!woken) {
      close(lock);
      continue;
    }
    Job job = std::move(jobs.front());
    jobs.pop_front();
    if (!store) {
      lock.unlock();
      store = OpenStore(location, limits, StoreAccess::ReadOnly, "api reader");
      lock.lock();
      stores.insert(store.get());
      // Raised before this store was known, Halt must still reach it.
      if (stopping) store->Interrupt();
    }
    lock.unlock();
    job(*store);
    job = nullptr;  // its connection ends here, not under the lock
    lock.lock();
  }
  if (store) close(lock);
}

}  // namespace skyloom

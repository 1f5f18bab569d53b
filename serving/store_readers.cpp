#include "serving/store_readers.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <vector>

#include "store/open_store.h"

namespace skyloom {
namespace {

// An interrupted read ends at once; only a call that no interruption reaches takes longer.
constexpr std::chrono::seconds kStopBound{2};
// A reader with nothing to do for this long ends, with its connection: an API nobody asks
// costs no threads.
constexpr std::chrono::seconds kIdleEnd{30};

}  // namespace

// What the reader threads use, kept alive by them: a reader stuck in a call past Stop still
// has its queue and its lock.
struct StoreReaders::Shared {
  QString location;
  PgLimits limits;
  int threads = 0;
  std::size_t queued = 0;
  std::mutex mutex;
  std::condition_variable wake;
  std::condition_variable ended;
  std::deque<Job> jobs;
  bool stopping = false;
  int running = 0;
  int idle = 0;
  std::set<ForecastStore*> stores;  // those open, for interrupting them
  // Readers are joined, never left running: one still closing its connection or ending its
  // thread when the process exits would crash it.
  std::map<std::thread::id, std::thread> workers;
  std::vector<std::thread> ended_workers;

  void Work();
  // Joins the readers that have ended; called without the lock.
  void JoinEnded();
};

StoreReaders::StoreReaders(QString location, PgLimits limits)
    : location_(std::move(location)), limits_(limits) {}

StoreReaders::~StoreReaders() { Stop(); }

std::optional<QString> StoreReaders::Start(int threads, std::size_t queued) {
  Stop();
  shared_ = std::make_shared<Shared>();
  shared_->location = location_;
  shared_->limits = limits_;
  shared_->threads = threads;
  shared_->queued = queued;
  return std::nullopt;
}

bool StoreReaders::Submit(Job job) {
  if (!shared_) return false;
  {
    std::unique_lock lock(shared_->mutex);
    if (shared_->stopping || shared_->jobs.size() >= shared_->queued) return false;
    // Readers start when reads come, up to their number.
    if (shared_->idle == 0 && shared_->running < shared_->threads) {
      try {
        std::thread thread([shared = shared_] { shared->Work(); });
        const std::thread::id id = thread.get_id();
        shared_->workers.emplace(id, std::move(thread));
        ++shared_->running;
      } catch (const std::system_error&) {
        if (shared_->running == 0) return false;  // the readers there are will take it
      }
    }
    shared_->jobs.push_back(std::move(job));
  }
  shared_->wake.notify_one();
  shared_->JoinEnded();
  return true;
}

void StoreReaders::Stop() {
  if (!shared_) return;
  const std::shared_ptr<Shared> shared = std::exchange(shared_, nullptr);
  std::deque<Job> dropped;
  {
    const std::lock_guard lock(shared->mutex);
    shared->stopping = true;
    dropped.swap(shared->jobs);
    for (ForecastStore* store : shared->stores) store->Interrupt();
  }
  shared->wake.notify_all();
  dropped.clear();  // outside the lock: a dropped job may end a connection
  {
    std::unique_lock lock(shared->mutex);
    shared->ended.wait_for(lock, kStopBound, [&] { return shared->running == 0; });
    // One stuck in a call keeps what it uses alive and is left to the process's exit.
    for (auto& [id, thread] : shared->workers) thread.detach();
    shared->workers.clear();
  }
  shared->JoinEnded();
}

void StoreReaders::Shared::JoinEnded() {
  std::vector<std::thread> ended;
  {
    const std::lock_guard lock(mutex);
    ended.swap(ended_workers);
  }
  // Each has nothing left but to return, so this is brief.
  for (std::thread& thread : ended) thread.join();
}

void StoreReaders::Shared::Work() {
  // Opened here and used by this thread alone: a PostgreSQL session serves one caller.
  std::unique_ptr<ForecastStore> store =
      OpenStore(location, limits, StoreAccess::ReadOnly, "api reader");
  std::unique_lock lock(mutex);
  stores.insert(store.get());
  // Raised before this store was known, Stop must still reach it.
  if (stopping) store->Interrupt();
  for (;;) {
    ++idle;
    const bool woken = wake.wait_for(lock, kIdleEnd, [this] { return stopping || !jobs.empty(); });
    --idle;
    if (stopping || !woken) break;
    Job job = std::move(jobs.front());
    jobs.pop_front();
    lock.unlock();
    job(*store);
    job = nullptr;  // its connection ends here, not under the lock
    lock.lock();
  }
  stores.erase(store.get());
  lock.unlock();
  store.reset();  // closed before Stop hears this reader has ended
  lock.lock();
  if (const auto self = workers.find(std::this_thread::get_id()); self != workers.end()) {
    ended_workers.push_back(std::move(self->second));
    workers.erase(self);
  }
  --running;
  ended.notify_all();
}

}  // namespace skyloom

#include "history/store_reader.h"

#include <mutex>
#include <vector>

#include "platform/worker_thread.h"
#include "store/open_store.h"

namespace skyloom {

// What the reader's thread uses, kept alive by it: a reader may go while a read hangs.
struct StoreReader::Shared {
  std::unique_ptr<ForecastStore> store;
  std::mutex mutex;
  StoreReader* owner;  // cleared when the reader goes; results then go nowhere
};

StoreReader::StoreReader(const QString& location, PgLimits limits, QObject* parent)
    : QObject(parent),
      shared_(std::make_shared<Shared>()),
      thread_(std::make_unique<WorkerThread>(QStringLiteral("store reader"))) {
  shared_->store = OpenStore(location, limits);
  shared_->owner = this;
}

StoreReader::~StoreReader() {
  {
    const std::lock_guard lock(shared_->mutex);
    shared_->owner = nullptr;
  }
  shared_->store->Interrupt();
  thread_.reset();
}

void StoreReader::Post(Job job) {
  thread_->Post([shared = shared_, job = std::move(job)] {
    {
      const std::lock_guard lock(shared->mutex);
      if (!shared->owner) return;
    }
    std::function<void()> deliver = job(*shared->store);
    const std::lock_guard lock(shared->mutex);
    if (shared->owner) {
      QMetaObject::invokeMethod(shared->owner, std::move(deliver), Qt::QueuedConnection);
    }
  });
}

}  // namespace skyloom

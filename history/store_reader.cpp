#include "history/store_reader.h"

#include "platform/worker_thread.h"
#include "store/open_store.h"

namespace skyloom {

StoreReader::StoreReader(const QString& location, PgLimits limits, QObject* parent)
    : QObject(parent),
      shared_(std::make_shared<Shared>()),
      thread_(std::make_unique<WorkerThread>(QStringLiteral("store reader"))) {
  shared_->store = OpenStore(location, limits, StoreAccess::ReadOnly, "history");
}

StoreReader::~StoreReader() {
  // Results of reads still under way go nowhere, since this object is their context.
  shared_->closing = true;
  shared_->store->Interrupt();
  thread_.reset();
}

}  // namespace skyloom

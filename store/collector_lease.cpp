#include "store/collector_lease.h"

#include <algorithm>

#include "store/file_collector_lease.h"
#include "store/open_store.h"
#include "store/pg_collector_lease.h"

namespace skyloom {

QString RoleName(CollectorRole role) {
  return role == CollectorRole::Active ? QStringLiteral("active") : QStringLiteral("standby");
}

std::unique_ptr<CollectorLease> OpenCollectorLease(const QString& location, PgLimits limits,
                                                   std::chrono::milliseconds term) {
  if (IsServerLocation(location)) {
    return std::make_unique<PgCollectorLease>(location, limits, term);
  }
  // Nothing runs out on a file: the lock goes when its holder dies, and a standby need only
  // look often enough.
  return std::make_unique<FileCollectorLease>(
      location, std::min<std::chrono::milliseconds>(std::chrono::seconds(1), term / 6));
}

}  // namespace skyloom

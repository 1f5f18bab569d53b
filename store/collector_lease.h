#pragma once

#include <QString>
#include <chrono>
#include <memory>

#include "store/forecast_store.h"
#include "store/pg_store.h"

namespace skyloom {

// Collectors on one database form a group in which one, the active, runs the timed fetches.
enum class CollectorRole { Active, Standby };

// "active" or "standby", as the API, the metrics and the headless line show it.
QString RoleName(CollectorRole role);

// The group's turn to fetch, as one collector sees it. Calls block on the database or the
// file system, so they belong to a worker thread, one call at a time.
class CollectorLease {
 public:
  virtual ~CollectorLease() = default;

  // Keeps the turn when this collector has it, takes it when nobody has; Standby while
  // another collector has it. An error when the group cannot be asked.
  virtual StoreExpected<CollectorRole> Hold() = 0;
  // Right before a timed fetch of `slot` (its start as the collectors' clocks show it): renews
  // the turn and marks the slot as fetched by the group, in one step. False when the turn is
  // gone, and then nothing is marked.
  virtual StoreExpected<bool> Claim(const QString& slot) = 0;
  // Gives the turn up, so that a standby need not wait for it to run out.
  virtual void Release() = 0;
  // Whether the group has fetched `slot` already: a holder claimed it, or tqlog holds an
  // attempt logged within the last `span` by the clock that logs.
  virtual StoreExpected<bool> SlotTaken(const QString& slot, std::chrono::seconds span) = 0;
  // How often the holder renews and a standby tries to take over.
  virtual std::chrono::milliseconds PollInterval() const = 0;
};

// The lease for a --db value: a row on a PostgreSQL server, a lock beside an SQLite file.
// `term` is how long a turn lasts on a server without a renewal.
std::unique_ptr<CollectorLease> OpenCollectorLease(const QString& location, PgLimits limits,
                                                   std::chrono::milliseconds term);

}  // namespace skyloom

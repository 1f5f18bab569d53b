#pragma once

#include <QDateTime>
#include <QMetaType>
#include <QString>
#include <chrono>
#include <memory>
#include <optional>

#include "store/forecast_store.h"
#include "store/pg_store.h"

namespace skyloom {

// Collectors on one database form a group in which one, the active, runs the timed fetches.
enum class CollectorRole { Active, Standby };

// "active" or "standby", as the API, the metrics and the headless line show it.
QString RoleName(CollectorRole role);

// The group's turn as one lease call found it.
struct Turn {
  CollectorRole role = CollectorRole::Active;
  QDateTime taken;  // when its holder took it; invalid when not known
  // The start of the last slot the group fetched, local time, as the attempt that fetched it
  // recorded it; a turn taken over skips it.
  std::optional<QDateTime> lastSlot;
};

// This collector's place in its group, as the API tells it.
struct GroupStanding {
  CollectorRole role = CollectorRole::Active;
  QDateTime turnTaken;    // when the current turn was taken; invalid when not known
  quint64 takeovers = 0;  // turns this collector took over from another
};

// The group's turn to fetch, as one collector sees it. Calls block on the database or the
// file system, so they belong to a worker thread, one call at a time; none starts another
// statement once `deadline` has passed.
class CollectorLease {
 public:
  using Deadline = std::chrono::steady_clock::time_point;

  virtual ~CollectorLease() = default;

  // Keeps the turn when this collector has it, takes it when nobody has; Standby while
  // another collector has it. An error when the group cannot be asked.
  virtual StoreExpected<Turn> Hold(Deadline deadline) = 0;
  // Gives the turn up, so that a standby need not wait for it to run out.
  virtual void Release() = 0;
  // How often the holder renews and a standby tries to take over.
  virtual std::chrono::milliseconds PollInterval() const = 0;
  // How long a turn lasts after its last renewal; zero when it lasts while its holder lives,
  // frozen or not.
  virtual std::chrono::milliseconds Term() const = 0;
};

// The lease for a --db value: a row on a PostgreSQL server, a lock beside an SQLite file.
// `term` is how long a turn lasts on a server without a renewal.
std::unique_ptr<CollectorLease> OpenCollectorLease(const QString& location, PgLimits limits,
                                                   std::chrono::milliseconds term);

}  // namespace skyloom

Q_DECLARE_METATYPE(skyloom::GroupStanding)

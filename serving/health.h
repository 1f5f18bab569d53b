#pragma once

#include <QDateTime>
#include <QString>
#include <optional>
#include <vector>

#include "schedule/sync_schedule.h"
#include "store/collector_lease.h"
#include "store/forecast_store.h"
#include "store/pg_link.h"

namespace skyloom {

// How long a due timed fetch may go unlogged before the collector counts as stalled: room for
// a slow request and a tick that waits for a fetch started by hand.
inline constexpr qint64 kStalledAfterSeconds = 10 * 60;

// Why a collector is not healthy, for those who word it themselves.
enum class HealthProblem { None, NoAttempt, NewestFailed, Stalled, Unreadable };

// What GET /health tells; healthy when there is no reason.
struct HealthReport {
  std::optional<QString> lastAttempt;  // logtime of the newest attempt
  std::optional<QString> lastSuccess;  // logtime of the newest attempt that cut out a forecast
  // Attempts that failed since the last success, newest first; nothing when the log could not
  // be read.
  std::optional<int> consecutiveFailures;
  QString reason;
  // This collector's in its group. A standby reads the group's log like the active collector,
  // and stands by only while another holds the turn, so the same rules judge both.
  CollectorRole role = CollectorRole::Active;
  QDateTime turnTaken;    // when the group's current turn was taken; invalid when not known
  quint64 takeovers = 0;  // turns this collector took over from another
  // Where each kind of server connection is, so that a failover can be followed: the host
  // and port only, never the user or the rest of the address.
  std::vector<PgLinkState> servers;
  HealthProblem problem = HealthProblem::None;
  // What the reason names: the failure, the due time, or why the log is unreadable.
  QString detail;

  // The outbox, when this collector delivers messages; it never makes a collector unhealthy.
  std::optional<qint64> deliveriesPending;
  std::optional<qint64> deliveriesGivenUp;
  std::optional<qint64> oldestPendingSeconds;  // nothing when none waits

  bool Healthy() const { return reason.isEmpty(); }
};

// The health of a collector from the newest attempts of its log (newest first), the schedule
// it fetches on and the time now.
HealthReport AssessHealth(const std::vector<AttemptRow>& newestFirst, const SyncWindows& schedule,
                          const QDateTime& now);

// The same when the log could not be read.
HealthReport UnreadableLog(const QString& why);

}  // namespace skyloom

#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>

#include "collecting/attempt.h"
#include "collecting/retention.h"
#include "platform/clock.h"
#include "settings/service_settings.h"
#include "store/collector_lease.h"

namespace skyloom {

class Collector;
class ForecastStore;
class RoleKeeper;
class SyncDriver;

// A running collector: its store, the collector, the schedule driver and its place in its
// group. It emits what happened as values and knows nothing of who takes them; every
// database wait happens on threads of its own, never on the thread it lives on.
class CollectorService final : public QObject {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(CollectorService)

 public:
  CollectorService(const Clock& clock, const ServiceSettings& settings, QObject* parent = nullptr);
  // Stops first (see Stop), so that nothing owned here outlives what it uses.
  ~CollectorService() override;

  // Starts the schedule and, with standbys, the turn-taking.
  void Start();
  // Ends the schedule and a running attempt within a few seconds. An attempt whose database
  // call does not end in time is left to the process's exit.
  void Stop();

  SyncDriver& Driver() { return *driver_; }
  const Collector& collector() const;
  const Clock& clock() const { return clock_; }
  const ServiceSettings& Settings() const { return settings_; }
  // Where the address of each fetch comes from; the settings' address by default.
  void SetAddressSource(std::function<QString()> address);
  // Whether this collector runs the timed fetches of its group or stands by.
  CollectorRole Role() const;
  // For any thread: whether this collector surely holds its group's turn now; always, when
  // standing by is off.
  std::function<bool()> TurnHeld() const;

 signals:
  // A line for standard error.
  void report(const QString& line);
  void roleChanged(skyloom::CollectorRole role);
  // The role with when the turn was taken and the take-overs, for the API.
  void standingChanged(const skyloom::GroupStanding& standing);
  // Every attempt that was stored or logged, with how long its cycle took.
  void attemptFinished(const skyloom::Attempt& attempt, std::chrono::milliseconds took);
  // An attempt committed `event`: a new forecast, or a run of failures that started or
  // ended. Several of one attempt come in the order they happened.
  void eventCommitted(const skyloom::Event& event);
  // Old attempts and finished deliveries were deleted, as the settings keep them.
  void rowsRemoved(const skyloom::RowsRemoved& removed);

 private:
  // What the attempt thread uses; kept whole, and left behind with it, when an attempt never
  // ends.
  struct Core;

  void OnFetchFinished();
  // Once a day, between fetches, on the collector holding the turn.
  void RemoveOldRows(const QDateTime& now);

  const Clock& clock_;
  const ServiceSettings settings_;
  std::shared_ptr<Core> core_;
  std::unique_ptr<SyncDriver> driver_;
  std::unique_ptr<RoleKeeper> roles_;  // none when standing by is off
  QElapsedTimer fetchTime_;
  bool stopped_ = false;
  bool removing_ = false;
  QDate removedOn_;  // the day of the last round that finished
};

}  // namespace skyloom

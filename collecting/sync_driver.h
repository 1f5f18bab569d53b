#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "collecting/attempt.h"
#include "schedule/sync_schedule.h"

class QTimer;

namespace skyloom {

class Collector;
class WorkerThread;

// Drives a collector from the one-second clock: starts timed fetches inside the daily
// windows, and fetches on request. Each cycle, the request and the store call alike, runs on
// a worker thread of the driver's own and comes back as a value through a queued signal, so
// the thread this object lives on never waits for a server or a database.
class SyncDriver final : public QObject {
  Q_OBJECT

 public:
  // `address` gives the address box text at the moment a fetch starts.
  SyncDriver(Collector& collector, std::function<QString()> address, SyncWindows schedule = {},
             QObject* parent = nullptr);
  ~SyncDriver() override;

  // Sets the start value of LastSync and starts the one-second timer.
  void Start();
  // One tick of the clock; public so that tests can tick at chosen instants.
  void Tick();
  // A fetch as the Get button asks for it; false when a fetch is already running.
  bool FetchNow();
  // A cycle is in flight, its download or its store call.
  bool Busy() const { return busy_; }
  // The last timed fetch, or the start value before the first.
  const QDateTime& LastSync() const { return lastSync_; }
  // What the last finished fetch did.
  const Attempt& LastAttempt() const { return lastAttempt_; }
  // Stops the clock and ends a running cycle: the request at once, a store call as soon as
  // the database lets it, within `bound`. False when the cycle did not end in time; its thread
  // is then left to the process's exit, and what it did is not reported.
  bool Stop(std::chrono::milliseconds bound = std::chrono::seconds(3));
  void SetAddressSource(std::function<QString()> address) { address_ = std::move(address); }

  // Decides off this thread whether a due timed fetch runs here, and answers on this thread;
  // no answer means ask again.
  using TimedFetchGate = std::function<void(const QDateTime& due,
                                            std::function<void(std::optional<bool> fetch)> answer)>;
  // Without a gate every due timed fetch runs, as for a collector on its own. `turnHeld`, asked
  // on the fetch's thread after the download, drops a timed attempt whose turn is gone.
  void SetTimedFetchGate(TimedFetchGate gate, std::function<bool()> turnHeld) {
    gate_ = std::move(gate);
    turnHeld_ = std::move(turnHeld);
  }
  // A timed fetch now, inside a window and if the gate lets it: the slot in progress, whose
  // fetch was another collector's and may never have come. LastSync stays unless it fetches.
  // One that cannot start yet starts at a later tick.
  void FetchLate();

 signals:
  void clockTicked(const QDateTime& now);
  void fetchStarted();
  void fetchFinished(const skyloom::Attempt& attempt);
  // A timed fetch ended without a word in the log: the turn passed to another collector.
  void fetchDropped();
  // After a timed fetch that was stored and logged; the address box locks.
  void lastSyncChanged(const QDateTime& lastSync);

 private:
  struct Cycle;

  void StartTimed(const QDateTime& due, bool late);
  void StartFetch(bool timed, const QDateTime& due = {});
  void FinishFetch(const Attempt& attempt);

  Collector& collector_;
  std::function<QString()> address_;
  SyncWindows schedule_;
  QTimer* timer_;
  std::unique_ptr<WorkerThread> worker_;
  std::shared_ptr<Cycle> cycle_;  // the one in flight, shared with the worker
  bool busy_ = false;
  TimedFetchGate gate_;
  std::function<bool()> turnHeld_;
  bool asking_ = false;      // the gate has not answered yet
  bool lateWanted_ = false;  // a late fetch waits for the one under way
  QDateTime lastSync_;
  Attempt lastAttempt_;
};

}  // namespace skyloom

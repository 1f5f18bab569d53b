#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <optional>

#include "collecting/attempt.h"
#include "platform/run_then.h"
#include "schedule/sync_schedule.h"

class QTimer;

namespace skyloom {

class Collector;

// What the driver is doing. A timed fetch asks the group first (a driver without a group
// answers itself); a take-over owes the slot in progress a late fetch, unless the log holds it.
enum class DriverState {
  Stopped,           // after Stop: no timed fetch starts
  Idle,              // waiting for the next due tick
  LateOwed,          // idle, and the slot in progress is owed a late fetch: the next tick asks
  Asking,            // the group decides whether the due fetch runs here
  AskingLate,        // the group decides whether the slot in progress's late fetch runs here
  Fetching,          // a cycle runs: a timed fetch or a Get
  FetchingLateOwed,  // a Get runs, and the slot in progress's late fetch follows it
};

enum class DriverEvent {
  Start,
  Stop,
  QuietTick,  // a tick outside the windows
  Tick,       // a tick inside a window, nothing due
  DueTick,    // a tick with a timed fetch due
  TookOver,   // the turn came over inside a window: the slot in progress may be unfetched
  Get,        // the Get button
  Granted,    // the group's answer to the current ask: the fetch runs here
  Refused,    // ...it does not
  Unsure,     // ...it came too late to trust, or after the slot it was asked for
  CycleEnded,
};

enum class DriverAction {
  None,
  Ask,         // ask the group about a fetch now
  FetchTimed,  // start the timed fetch the group granted
  FetchGet,
  RefuseGet,  // a cycle runs already
  KeepTime,   // a standby keeps time with the active collector: LastSync moves to the due time
};

struct DriverStep {
  DriverState state;
  DriverAction action = DriverAction::None;
  friend bool operator==(const DriverStep&, const DriverStep&) = default;
};

// The driver's whole logic: where `event` takes `state`, and what to do on the way.
DriverStep NextDriverStep(DriverState state, DriverEvent event);

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

  // Sets the start value of LastSync and starts the one-second timer; without it (tests) only
  // calls to Tick drive the schedule.
  void Start(bool ownTimer = true);
  // One tick of the clock; public so that tests can tick at chosen instants.
  void Tick();
  // A fetch as the Get button asks for it; false when a fetch is already running.
  bool FetchNow();
  // A cycle is in flight, its download or its store call.
  bool Busy() const;
  DriverState State() const { return state_; }
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

  // Runs `work` on the cycles' thread, so never during a cycle, then `then(value)` here; false
  // when a cycle runs. A cycle that starts meanwhile waits for `work`, which should end soon
  // once the function CycleWaiting gives says true.
  template <typename Work, typename Then>
  bool RunBetweenCycles(Work work, Then then) {
    if (Busy() || state_ == DriverState::Stopped) return false;
    cycleWaiting_->store(false);
    RunThen(*worker_, std::move(work), this, std::move(then));
    return true;
  }
  // For any thread: whether a cycle, or Stop, waits for the work RunBetweenCycles runs.
  std::function<bool()> CycleWaiting() const {
    return [waiting = cycleWaiting_] { return waiting->load(); };
  }

 signals:
  void clockTicked(const QDateTime& now);
  void fetchStarted();
  void fetchFinished(const skyloom::Attempt& attempt);
  // A timed fetch ended without a word in the log: the turn passed to another collector.
  void fetchDropped();
  // After a timed fetch that was stored and logged; the address box locks.
  void lastSyncChanged(const QDateTime& lastSync);

 private:
  DriverAction Handle(DriverEvent event);
  void Ask();
  void StartFetch(bool timed);
  void FinishFetch(quint64 cycle, const Attempt& attempt);

  Collector& collector_;
  std::function<QString()> address_;
  SyncWindows schedule_;
  QTimer* timer_;
  std::unique_ptr<WorkerThread> worker_;
  std::shared_ptr<std::atomic<bool>> cycleWaiting_ = std::make_shared<std::atomic<bool>>(false);
  DriverState state_ = DriverState::Idle;
  TimedFetchGate gate_;
  std::function<bool()> turnHeld_;
  // Each ask and each cycle has a number, so that an answer or a result meant for an earlier
  // one is never taken for the current one.
  quint64 ask_ = 0;
  QDateTime askedDue_;  // the instant the current ask is for
  quint64 cycle_ = 0;
  std::shared_future<Attempt> cycleResult_;
  QDateTime lastSync_;
  Attempt lastAttempt_;
};

}  // namespace skyloom

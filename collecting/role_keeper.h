#pragma once

#include <QDateTime>
#include <QObject>
#include <functional>
#include <memory>
#include <optional>

#include "schedule/sync_schedule.h"
#include "store/collector_lease.h"

class QTimer;

namespace skyloom {

class WorkerThread;

// This collector's place in its group, as its lease calls tell it.
enum class RoleState {
  Unknown,   // no answer yet: active, as a collector on its own
  Active,    // holds the turn and never stood by: a frozen holder regains it without a take-over
  Standby,   // another collector holds the turn
  TookOver,  // took the turn over: the slot in progress is owed a late fetch, unless fetched
  Holding,   // holds the turn it took, and fetched since
  Alone,     // the group could not be asked for longer than a term: fetches on every slot
};

enum class RoleEvent {
  Held,         // this collector holds the turn, as its answer of less than a term ago said
  Regained,     // it holds the turn, after a term or more without an answer that said so
  Refused,      // another collector holds the turn
  Failed,       // a lease call failed; the last answer is less than a term old and stands
  Silent,       // a lease call failed, and there is no answer of less than a term ago
  SlotChecked,  // a timed fetch was granted for a slot the group had not fetched
};

// Where `event` takes `state`; the keeper's whole logic.
RoleState NextRoleState(RoleState state, RoleEvent event);
// Standby for Standby, Active for every other state.
CollectorRole RoleOf(RoleState state);

// Keeps this collector's place in its group: renews the turn while active, tries to take it
// while standing by, and decides before each timed fetch whether it runs here. Every lease
// call runs on a worker thread of its own (not the fetch's, so that a long download cannot
// let the turn run out) and comes back as a value; the thread this object lives on never
// waits.
//
// The turn is renewed right before every timed fetch: a collector that was frozen or cut off
// long enough for another to take over finds its renewal refused and stands by. A fetch whose
// turn may have passed on during its download is dropped before it is logged (TurnHeld).
// The group records the last slot it fetched beside the turn, and a holder skips a slot
// recorded there, so a restart or a take-over never fetches a slot a second time.
class RoleKeeper final : public QObject {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(RoleKeeper)

 public:
  // `schedule` names the slot each timed fetch stands for.
  RoleKeeper(std::unique_ptr<CollectorLease> lease, SyncWindows schedule,
             QObject* parent = nullptr);
  ~RoleKeeper() override;

  // Asks for the turn at once, then keeps asking.
  void Start();
  // Gives the turn up; no answer comes after this.
  void Stop();
  // Active until the group says otherwise, as a collector on its own is.
  CollectorRole Role() const { return RoleOf(seen_); }
  // Whether the timed fetch due at `due` runs here; nothing when the answer came too late to
  // trust, so that the caller asks again. `answer` runs on this thread.
  void AskTimedFetch(const QDateTime& due, std::function<void(std::optional<bool> fetch)> answer);
  // For any thread: whether the turn is surely still this collector's, so that what a timed
  // fetch brought may be logged.
  std::function<bool()> TurnHeld() const;

 signals:
  void roleChanged(skyloom::CollectorRole role);
  // The role, when the current turn was taken, or the count of take-overs changed.
  void standingChanged(const skyloom::GroupStanding& standing);
  // The turn came over from another collector; the slot in progress may be unfetched.
  void tookOver();
  // A line for standard error.
  void report(const QString& line);

 private:
  struct Core;
  struct Step;

  void Poll();
  void Run(std::function<Step(Core&)> work, std::function<void(const Step&)> then);
  void Apply(const Step& step);

  const SyncWindows schedule_;
  std::shared_ptr<Core> core_;
  std::unique_ptr<WorkerThread> worker_;
  QTimer* timer_;                        // runs from Start to Stop
  RoleState seen_ = RoleState::Unknown;  // as the last answer that came here said
  GroupStanding standing_;
  // Start and Stop each begin a new run; an answer asked for in an earlier one is dropped.
  quint64 run_ = 0;
  // The run whose poll is still under way, if any: a call still waiting for the database is
  // not joined by more.
  std::optional<quint64> pollOf_;
};

}  // namespace skyloom

#pragma once

#include <QDateTime>
#include <QObject>
#include <functional>
#include <memory>

#include "schedule/sync_schedule.h"
#include "store/collector_lease.h"

class QTimer;

namespace skyloom {

class WorkerThread;

// Keeps this collector's place in its group: renews the turn while active, tries to take it
// while standing by, and decides before each timed fetch whether it runs here. Every lease
// call runs on a worker thread of its own (not the fetch's, so that a long download cannot
// let the turn run out) and comes back as a value; the thread this object lives on never
// waits.
//
// Before every timed fetch the turn is renewed and the slot claimed in one step: a collector
// that was frozen or cut off long enough for another to take over finds its claim refused and
// stands by instead of fetching the slot a second time. Until its first timed fetch after a
// take-over, a collector skips a slot that the one before it claimed or that the log holds.
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
  CollectorRole Role() const { return role_; }
  // Whether the timed fetch due at `due` runs here. `answer` runs on this thread.
  void AskTimedFetch(const QDateTime& due, std::function<void(bool fetch)> answer);

 signals:
  void roleChanged(skyloom::CollectorRole role);
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
  QTimer* timer_;
  CollectorRole role_ = CollectorRole::Active;
  bool stopped_ = true;
  bool polling_ = false;
  bool troubled_ = false;
};

}  // namespace skyloom

#include "collecting/role_keeper.h"

#include <QTimer>
#include <atomic>
#include <mutex>

#include "platform/clock.h"
#include "platform/worker_thread.h"

namespace skyloom {
namespace {

using Steady = std::chrono::steady_clock;

// tqlog keeps whole seconds, and the clock that logs and ours never tick quite together; a
// slot's attempt comes at or after the slot's time, the one before it an interval earlier.
constexpr std::chrono::seconds kLogClockMargin{2};

}  // namespace

// What the worker thread uses; jobs keep it alive, so a call stuck past Stop has it still.
struct RoleKeeper::Core {
  explicit Core(std::unique_ptr<CollectorLease> lease)
      : lease(std::move(lease)),
        term(this->lease->Term()),
        silence(term.count() > 0 ? term : 3 * this->lease->PollInterval()) {}

  std::unique_ptr<CollectorLease> lease;
  // How long a turn outlives its last renewal; zero for one that lasts while its holder lives.
  const std::chrono::milliseconds term;
  // How long the group's last answer stands while the lease cannot be asked.
  const std::chrono::milliseconds silence;
  // Used on the worker thread only.
  std::optional<CollectorRole> known;  // the group's last answer
  Steady::time_point askedAt;          // when that answer was asked for
  bool stoodBy = false;                // once standing by, a turn taken is a take-over
  // After a take-over only: a collector's first turn fetches within a minute of its start,
  // as a collector on its own always has, and the log cannot tell a group's row from one of
  // a collector that never stands by.
  bool checkSlot = false;
  // Until when a fetch may be logged, read by the fetch's thread. Half a term after a renewal
  // leaves the write that follows the check half a term before any standby can take over.
  std::atomic<Steady::rep> sureUntil{Steady::time_point::min().time_since_epoch().count()};
  // Cleared when nobody takes results any more.
  std::mutex mutex;
  RoleKeeper* owner = nullptr;

  Step Hold(CollectorLease::Deadline deadline);
  Step Gate(bool inSlot, std::chrono::seconds sinceSlot, CollectorLease::Deadline deadline);
  void SetSureUntil(Steady::time_point until) { sureUntil.store(until.time_since_epoch().count()); }
};

struct RoleKeeper::Step {
  CollectorRole role = CollectorRole::Active;
  bool tookOver = false;
  bool fetch = false;
  bool alone = false;  // the group could not be asked for longer than its answer stands
  std::optional<QString> problem;
};

RoleKeeper::Step RoleKeeper::Core::Hold(CollectorLease::Deadline deadline) {
  Step step;
  const auto asked = Steady::now();
  const auto held = lease->Hold(deadline);
  if (!held) {
    // One failed call (a slow answer, a server restart) says nothing of the others: the last
    // answer stands. Only when it is older than a term does this collector fetch on its own,
    // as before groups; when the database is what failed, the store reports it as well.
    step.problem = held.error().message;
    step.alone = !known || asked - askedAt >= silence;
    step.role = step.alone ? CollectorRole::Active : *known;
    if (step.alone) SetSureUntil(Steady::time_point::max());
    return step;
  }
  step.role = *held;
  const bool continued = known == CollectorRole::Active && asked - askedAt < silence;
  if (step.role == CollectorRole::Standby) {
    stoodBy = true;
    SetSureUntil(Steady::time_point::min());
  } else {
    step.tookOver = !continued && stoodBy;
    if (step.tookOver) checkSlot = true;
    SetSureUntil(term.count() > 0 ? asked + term / 2 : Steady::time_point::max());
  }
  known = step.role;
  askedAt = asked;
  return step;
}

RoleKeeper::Step RoleKeeper::Core::Gate(bool inSlot, std::chrono::seconds sinceSlot,
                                        CollectorLease::Deadline deadline) {
  Step step = Hold(deadline);
  step.fetch = step.role == CollectorRole::Active;
  if (!step.fetch || step.problem) return step;
  if (checkSlot && inSlot) {
    // Not knowing, the holder fetches: a second row for a slot is better than none.
    const auto logged = lease->Logged(sinceSlot + kLogClockMargin, deadline);
    if (logged && *logged) {
      step.fetch = false;
      return step;
    }
  }
  checkSlot = false;
  return step;
}

RoleKeeper::RoleKeeper(std::unique_ptr<CollectorLease> lease, SyncWindows schedule, QObject* parent)
    : QObject(parent),
      schedule_(std::move(schedule)),
      core_(std::make_shared<Core>(std::move(lease))),
      worker_(std::make_unique<WorkerThread>(QStringLiteral("collector role"))),
      timer_(new QTimer(this)) {
  timer_->setInterval(core_->lease->PollInterval());
  connect(timer_, &QTimer::timeout, this, &RoleKeeper::Poll);
}

RoleKeeper::~RoleKeeper() {
  Stop();
  worker_.reset();
}

void RoleKeeper::Start() {
  stopped_ = false;
  {
    const std::lock_guard lock(core_->mutex);
    core_->owner = this;
  }
  timer_->start();
  Poll();
}

void RoleKeeper::Stop() {
  stopped_ = true;
  // The answer of a poll under way is dropped, so a later Start must not wait for it.
  polling_ = false;
  timer_->stop();
  {
    const std::lock_guard lock(core_->mutex);
    if (!core_->owner) return;
    core_->owner = nullptr;
  }
  worker_->Post([core = core_] { core->lease->Release(); });
}

void RoleKeeper::Poll() {
  // A call still waiting for the database is not joined by more.
  if (polling_) return;
  polling_ = true;
  const auto deadline = Steady::now() + core_->lease->PollInterval();
  Run([deadline](Core& core) { return core.Hold(deadline); },
      [this](const Step& step) {
        polling_ = false;
        Apply(step);
        if (step.tookOver) emit tookOver();
      });
}

void RoleKeeper::AskTimedFetch(const QDateTime& due,
                               std::function<void(std::optional<bool> fetch)> answer) {
  const auto start = schedule_.SlotStart(due);
  const std::chrono::seconds sinceSlot(start ? start->secsTo(due) : 0);
  const auto deadline = Steady::now() + core_->silence / 3;
  Run([inSlot = start.has_value(), sinceSlot,
       deadline](Core& core) { return core.Gate(inSlot, sinceSlot, deadline); },
      [this, held = TurnHeld(), answer = std::move(answer)](const Step& step) {
        Apply(step);
        // A fetch granted on a renewal that is no longer sure (this process was frozen, or
        // the answer was slow) may be another collector's by now: ask again.
        if (step.fetch && !held()) return answer(std::nullopt);
        answer(step.fetch);
      });
}

std::function<bool()> RoleKeeper::TurnHeld() const {
  return
      [core = core_] { return Steady::now().time_since_epoch().count() < core->sureUntil.load(); };
}

void RoleKeeper::Run(std::function<Step(Core&)> work, std::function<void(const Step&)> then) {
  worker_->Post([core = core_, work = std::move(work), then = std::move(then)] {
    const Step step = work(*core);
    const std::lock_guard lock(core->mutex);
    if (RoleKeeper* owner = core->owner) {
      QMetaObject::invokeMethod(
          owner,
          [owner, then, step] {
            if (!owner->stopped_) then(step);
          },
          Qt::QueuedConnection);
    }
  });
}

void RoleKeeper::Apply(const Step& step) {
  if (step.alone != alone_) {
    alone_ = step.alone;
    emit report(alone_ ? QStringLiteral("cannot ask the other collectors, so fetching on "
                                        "every slot: %1")
                             .arg(step.problem.value_or(QString()))
                       : QStringLiteral("in touch with the other collectors again"));
  }
  if (step.role != role_) {
    role_ = step.role;
    emit roleChanged(role_);
  }
}

}  // namespace skyloom

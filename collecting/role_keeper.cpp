#include "collecting/role_keeper.h"

#include <QTimer>
#include <atomic>
#include <utility>

#include "platform/clock.h"
#include "platform/run_then.h"
#include "platform/worker_thread.h"

namespace skyloom {
namespace {

using Steady = std::chrono::steady_clock;

}  // namespace

RoleState NextRoleState(RoleState state, RoleEvent event) {
  using S = RoleState;
  using E = RoleEvent;
  switch (event) {
    case E::Refused:
      return S::Standby;
    case E::Silent:
      return S::Alone;
    case E::Failed:
      // One failed call (a slow answer, a server restart) says nothing of the others.
      return state == S::Unknown ? S::Alone : state;
    case E::SlotChecked:
      return state == S::TookOver ? S::Holding : state;
    case E::Held:
    case E::Regained:
      switch (state) {
        case S::Unknown:
        case S::Active:
          return S::Active;
        case S::Holding:
          return event == E::Held ? S::Holding : S::TookOver;
        // While it could not ask, the slot in progress may have gone unfetched.
        case S::Standby:
        case S::TookOver:
        case S::Alone:
          return S::TookOver;
      }
  }
  return state;
}

CollectorRole RoleOf(RoleState state) {
  return state == RoleState::Standby ? CollectorRole::Standby : CollectorRole::Active;
}

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
  RoleState state = RoleState::Unknown;
  Steady::time_point answeredAt;  // when the last answer the lease gave was asked for
  // Until when a fetch may be logged, read by the fetch's thread. Half a term after a renewal
  // leaves the write that follows the check half a term before any standby can take over.
  std::atomic<Steady::rep> sureUntil{Steady::time_point::min().time_since_epoch().count()};

  Step Hold(CollectorLease::Deadline deadline);
  Step Gate(const std::optional<QDateTime>& slot, CollectorLease::Deadline deadline);
  void SetSureUntil(Steady::time_point until) { sureUntil.store(until.time_since_epoch().count()); }
};

struct RoleKeeper::Step {
  RoleState state = RoleState::Unknown;
  bool tookOver = false;
  bool fetch = false;
  QDateTime turnTaken;
  std::optional<QDateTime> lastSlot;  // the last slot the group fetched
  std::optional<QString> problem;
};

RoleKeeper::Step RoleKeeper::Core::Hold(CollectorLease::Deadline deadline) {
  const auto asked = Steady::now();
  const auto held = lease->Hold(deadline);
  const bool recent = state != RoleState::Unknown && asked - answeredAt < silence;
  RoleEvent event = RoleEvent::Failed;
  if (!held) {
    // Only when the last answer is older than a term does this collector fetch on its own,
    // as before groups; when the database is what failed, the store reports it as well.
    event = recent ? RoleEvent::Failed : RoleEvent::Silent;
  } else if (held->role == CollectorRole::Standby) {
    event = RoleEvent::Refused;
  } else {
    event = recent ? RoleEvent::Held : RoleEvent::Regained;
  }
  const RoleState before = state;
  state = NextRoleState(state, event);
  if (held) answeredAt = asked;
  if (state == RoleState::Alone) {
    SetSureUntil(Steady::time_point::max());
  } else if (state == RoleState::Standby) {
    SetSureUntil(Steady::time_point::min());
  } else if (held) {
    SetSureUntil(term.count() > 0 ? asked + term / 2 : Steady::time_point::max());
  }
  Step step;
  step.state = state;
  step.tookOver = state == RoleState::TookOver &&
                  (before != RoleState::TookOver || event == RoleEvent::Regained);
  if (held) {
    step.turnTaken = held->taken;
    step.lastSlot = held->lastSlot;
  } else {
    step.problem = held.error().message;
  }
  return step;
}

RoleKeeper::Step RoleKeeper::Core::Gate(const std::optional<QDateTime>& slot,
                                        CollectorLease::Deadline deadline) {
  Step step = Hold(deadline);
  step.fetch = RoleOf(state) == CollectorRole::Active;
  if (!step.fetch || step.problem) return step;
  // A restart or a take-over inside a slot the group fetched already leaves it be.
  if (slot && step.lastSlot && *step.lastSlot >= *slot) {
    step.fetch = false;
    return step;
  }
  state = NextRoleState(state, RoleEvent::SlotChecked);
  step.state = state;
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
  if (timer_->isActive()) return;
  ++run_;
  timer_->start();
  Poll();
}

void RoleKeeper::Stop() {
  if (!timer_->isActive()) return;
  timer_->stop();
  ++run_;
  worker_->Post([core = core_] { core->lease->Release(); });
}

void RoleKeeper::Poll() {
  if (pollOf_ == run_) return;
  pollOf_ = run_;
  const auto deadline = Steady::now() + core_->lease->PollInterval();
  Run([deadline](Core& core) { return core.Hold(deadline); },
      [this](const Step& step) {
        pollOf_.reset();
        Apply(step);
        if (step.tookOver) emit tookOver();
      });
}

void RoleKeeper::AskTimedFetch(const QDateTime& due,
                               std::function<void(std::optional<bool> fetch)> answer) {
  const auto deadline = Steady::now() + core_->silence / 3;
  Run([slot = schedule_.SlotStart(due), deadline](Core& core) { return core.Gate(slot, deadline); },
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
  RunThen(
      *worker_, [core = core_, work = std::move(work)] { return work(*core); }, this,
      [this, run = run_, then = std::move(then)](const Step& step) {
        if (run == run_) then(step);
      });
}

void RoleKeeper::Apply(const Step& step) {
  if (step.tookOver) ++standing_.takeovers;
  if (step.turnTaken.isValid()) standing_.turnTaken = step.turnTaken;
  const GroupStanding before_standing = standing_;
  const RoleState before = std::exchange(seen_, step.state);
  const bool alone = step.state == RoleState::Alone;
  if (alone != (before == RoleState::Alone)) {
    emit report(alone ? QStringLiteral("cannot ask the other collectors, so fetching on "
                                       "every slot: %1")
                            .arg(step.problem.value_or(QString()))
                      : QStringLiteral("in touch with the other collectors again"));
  }
  standing_.role = RoleOf(step.state);
  if (RoleOf(step.state) != RoleOf(before)) emit roleChanged(RoleOf(step.state));
  if (step.tookOver || standing_.turnTaken != before_standing.turnTaken ||
      standing_.role != RoleOf(before)) {
    emit standingChanged(standing_);
  }
}

}  // namespace skyloom

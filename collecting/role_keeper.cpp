#include "collecting/role_keeper.h"

#include <QTimer>
#include <mutex>
#include <optional>

#include "platform/clock.h"
#include "platform/worker_thread.h"

namespace skyloom {
namespace {

// tqlog keeps whole seconds, and the clock that logs and ours never tick quite together; a
// slot's attempt comes at or after the slot's time, the one before it an interval earlier.
constexpr std::chrono::seconds kLogClockMargin{2};

}  // namespace

// What the worker thread uses; jobs keep it alive, so a call stuck past Stop has it still.
struct RoleKeeper::Core {
  explicit Core(std::unique_ptr<CollectorLease> lease) : lease(std::move(lease)) {}

  std::unique_ptr<CollectorLease> lease;
  // Used on the worker thread only.
  bool holding = false;
  bool stoodBy = false;    // once standing by, a turn taken is a take-over
  bool checkSlot = false;  // until the first timed fetch after a take-over
  // Cleared when nobody takes results any more.
  std::mutex mutex;
  RoleKeeper* owner = nullptr;

  Step Hold();
  Step Gate(const QString& slot, std::chrono::seconds sinceSlot);
};

struct RoleKeeper::Step {
  CollectorRole role = CollectorRole::Active;
  bool tookOver = false;
  bool fetch = false;
  std::optional<QString> problem;
};

RoleKeeper::Step RoleKeeper::Core::Hold() {
  Step step;
  const auto held = lease->Hold();
  if (!held) {
    // Without the group to ask, this collector fetches on its own as it did before groups;
    // when the database is what failed, the store reports it as well.
    step.problem = held.error().message;
    holding = false;
    return step;
  }
  step.role = *held;
  if (step.role == CollectorRole::Standby) {
    stoodBy = true;
  } else if (!holding && stoodBy) {
    step.tookOver = true;
    checkSlot = true;
  }
  holding = step.role == CollectorRole::Active;
  return step;
}

RoleKeeper::Step RoleKeeper::Core::Gate(const QString& slot, std::chrono::seconds sinceSlot) {
  Step step = Hold();
  if (step.role != CollectorRole::Active) return step;
  if (step.problem) {
    step.fetch = true;
    return step;
  }
  if (checkSlot && !slot.isEmpty()) {
    const auto taken = lease->SlotTaken(slot, sinceSlot + kLogClockMargin);
    if (taken && *taken) return step;
  }
  const auto claimed = lease->Claim(slot);
  if (!claimed) {
    step.problem = claimed.error().message;
  } else if (!*claimed) {
    // The turn ran out between the two calls.
    step.role = CollectorRole::Standby;
    holding = false;
    stoodBy = true;
    return step;
  }
  step.fetch = true;
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
  Run([](Core& core) { return core.Hold(); },
      [this](const Step& step) {
        polling_ = false;
        Apply(step);
        if (step.tookOver) emit tookOver();
      });
}

void RoleKeeper::AskTimedFetch(const QDateTime& due, std::function<void(bool fetch)> answer) {
  QString slot;
  std::chrono::seconds sinceSlot{0};
  if (const auto start = schedule_.SlotStart(due)) {
    slot = LogTimeText(*start);
    sinceSlot = std::chrono::seconds(start->secsTo(due));
  }
  Run([slot, sinceSlot](Core& core) { return core.Gate(slot, sinceSlot); },
      [this, answer = std::move(answer)](const Step& step) {
        Apply(step);
        answer(step.fetch);
      });
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
  if (step.problem.has_value() != troubled_) {
    troubled_ = step.problem.has_value();
    emit report(troubled_ ? QStringLiteral("cannot ask the other collectors, so fetching on "
                                           "every slot: %1")
                                .arg(*step.problem)
                          : QStringLiteral("in touch with the other collectors again"));
  }
  if (step.role != role_) {
    role_ = step.role;
    emit roleChanged(role_);
  }
}

}  // namespace skyloom

#include "collecting/sync_driver.h"

#include <QPointer>
#include <QTimer>
#include <optional>

#include "collecting/collector.h"
#include "platform/run_then.h"
#include "platform/worker_thread.h"
#include "schedule/sync_schedule.h"

namespace skyloom {

DriverStep NextDriverStep(DriverState state, DriverEvent event) {
  using S = DriverState;
  using E = DriverEvent;
  using A = DriverAction;
  if (event == E::Stop) return {S::Stopped};
  switch (state) {
    case S::Stopped:
      // Get always fetches; the schedule waits for Start.
      if (event == E::Get) return {S::Fetching, A::FetchGet};
      return {event == E::Start ? S::Idle : S::Stopped};
    case S::Idle:
    case S::LateOwed: {
      const bool owed = state == S::LateOwed;
      switch (event) {
        case E::DueTick:
          return {owed ? S::AskingLate : S::Asking, A::Ask};
        case E::Tick:
          return owed ? DriverStep{S::AskingLate, A::Ask} : DriverStep{state};
        case E::TookOver:
          return {S::AskingLate, A::Ask};
        // A late fetch belongs to the slot in progress, which ends with its window.
        case E::QuietTick:
          return {S::Idle};
        case E::Get:
          return {owed ? S::FetchingLateOwed : S::Fetching, A::FetchGet};
        default:
          return {state};
      }
    }
    case S::Asking:
    case S::AskingLate: {
      const bool late = state == S::AskingLate;
      switch (event) {
        // The ask under way already stands for the slot in progress.
        case E::TookOver:
          return {S::AskingLate};
        // The answer is dropped: a later tick asks afresh, and a late fetch still follows.
        case E::Get:
          return {late ? S::FetchingLateOwed : S::Fetching, A::FetchGet};
        case E::Granted:
          return {S::Fetching, A::FetchTimed};
        // A late ask is for an instant inside the slot, not a slot's due time.
        case E::Refused:
          return {S::Idle, late ? A::None : A::KeepTime};
        // LastSync stays, so the next tick asks again.
        case E::Unsure:
          return {late ? S::LateOwed : S::Idle};
        default:
          return {state};
      }
    }
    case S::Fetching:
    case S::FetchingLateOwed: {
      const bool owed = state == S::FetchingLateOwed;
      switch (event) {
        // Lost, a take-over's only chance at the slot in progress would be gone with it.
        case E::TookOver:
          return {S::FetchingLateOwed};
        case E::Get:
          return {state, A::RefuseGet};
        case E::CycleEnded:
          return {owed ? S::LateOwed : S::Idle};
        default:
          return {state};
      }
    }
  }
  return {state};
}

SyncDriver::SyncDriver(Collector& collector, std::function<QString()> address, SyncWindows schedule,
                       QObject* parent)
    : QObject(parent),
      collector_(collector),
      address_(std::move(address)),
      schedule_(std::move(schedule)),
      timer_(new QTimer(this)),
      worker_(std::make_unique<WorkerThread>(QStringLiteral("collector"))) {
  qRegisterMetaType<Attempt>();
  timer_->setInterval(1000);
  connect(timer_, &QTimer::timeout, this, &SyncDriver::Tick);
}

SyncDriver::~SyncDriver() {
  // Whoever listens may be half destroyed by now; the cut-short attempt is still logged.
  blockSignals(true);
  Stop();
  worker_.reset();
}

bool SyncDriver::Busy() const {
  return state_ == DriverState::Fetching || state_ == DriverState::FetchingLateOwed;
}

void SyncDriver::Start(bool ownTimer) {
  lastSync_ = schedule_.InitLastSync(collector_.clock().Now());
  Handle(DriverEvent::Start);
  if (ownTimer) timer_->start();
}

void SyncDriver::Tick() {
  const QDateTime now = collector_.clock().Now();
  emit clockTicked(now);
  // A due fetch waits while another runs: LastSync is unchanged, so a later tick starts it.
  if (schedule_.Due(lastSync_, now)) {
    Handle(DriverEvent::DueTick);
  } else {
    Handle(schedule_.Contains(now.time()) ? DriverEvent::Tick : DriverEvent::QuietTick);
  }
}

void SyncDriver::FetchLate() {
  if (schedule_.Contains(collector_.clock().Now().time())) Handle(DriverEvent::TookOver);
}

bool SyncDriver::FetchNow() { return Handle(DriverEvent::Get) == DriverAction::FetchGet; }

DriverAction SyncDriver::Handle(DriverEvent event) {
  const DriverStep step = NextDriverStep(state_, event);
  state_ = step.state;
  switch (step.action) {
    case DriverAction::Ask:
      Ask();
      break;
    case DriverAction::FetchTimed:
      StartFetch(/*timed=*/true);
      break;
    case DriverAction::FetchGet:
      StartFetch(/*timed=*/false);
      break;
    case DriverAction::KeepTime:
      // A standby, or a collector that finds its slot fetched by the group, keeps time with
      // the slots, so that it fetches on the next one.
      lastSync_ = schedule_.SlotStart(askedDue_).value_or(askedDue_);
      break;
    case DriverAction::None:
    case DriverAction::RefuseGet:
      break;
  }
  return step.action;
}

void SyncDriver::Ask() {
  const quint64 ask = ++ask_;
  askedDue_ = collector_.clock().Now();
  if (!gate_) {
    Handle(DriverEvent::Granted);
    return;
  }
  gate_(askedDue_, [driver = QPointer<SyncDriver>(this), ask](std::optional<bool> fetch) {
    if (!driver || ask != driver->ask_) return;
    // An answer that came too late, or after its slot ended (a freeze), is not acted on: it
    // would fetch in a slot it was not given.
    const SyncWindows& schedule = driver->schedule_;
    const bool sameSlot = schedule.SlotStart(driver->collector_.clock().Now()) ==
                          schedule.SlotStart(driver->askedDue_);
    if (!fetch || !sameSlot) {
      driver->Handle(DriverEvent::Unsure);
    } else {
      driver->Handle(*fetch ? DriverEvent::Granted : DriverEvent::Refused);
    }
  });
}

bool SyncDriver::Stop(std::chrono::milliseconds bound) {
  timer_->stop();
  cycleWaiting_->store(true);
  bool ended = true;
  if (Busy()) {
    collector_.Cancel();
    // Taken here without an event loop; the queued result that follows finds its cycle gone.
    if (cycleResult_.wait_for(bound) == std::future_status::ready) {
      FinishFetch(cycle_, cycleResult_.get());
    } else {
      ended = false;
    }
  }
  Handle(DriverEvent::Stop);
  return ended;
}

void SyncDriver::StartFetch(bool timed) {
  // Logged only if the turn is still this collector's and the slot it was due in is still on:
  // a freeze during the download must not put this slot's attempt into another's.
  std::function<bool()> keep;
  std::optional<QDateTime> slot;
  if (timed && turnHeld_) {
    slot = schedule_.SlotStart(askedDue_);
    keep = [turnHeld = turnHeld_, schedule = schedule_, clock = &collector_.clock(),
            due = askedDue_] {
      return turnHeld() && schedule.SlotStart(clock->Now()) == schedule.SlotStart(due);
    };
  }
  const quint64 cycle = ++cycle_;
  cycleWaiting_->store(true);
  const QString address = address_ ? address_() : QString();
  emit fetchStarted();
  cycleResult_ = RunThen(
      *worker_,
      [collector = &collector_, address, timed, keep, slot] {
        return collector->Fetch(address, timed, keep, slot);
      },
      this, [this, cycle](const Attempt& attempt) { FinishFetch(cycle, attempt); });
}

void SyncDriver::FinishFetch(quint64 cycle, const Attempt& attempt) {
  // Stop() may have taken this cycle's attempt already.
  if (cycle != cycle_ || !Busy()) return;
  Handle(DriverEvent::CycleEnded);
  // LastSync stays, so the next tick asks the group again and stands by.
  if (attempt.dropped) {
    emit fetchDropped();
    return;
  }
  lastAttempt_ = attempt;
  if (attempt.timed) {
    // LastSync moves on even when the store failed, or a broken database would turn the
    // schedule into a fetch every second.
    lastSync_ = attempt.finishedAt;
    if (!attempt.stored.error) emit lastSyncChanged(lastSync_);
  }
  emit fetchFinished(attempt);
}

}  // namespace skyloom

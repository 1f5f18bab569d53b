#include "collecting/sync_driver.h"

#include <QPointer>
#include <QTimer>
#include <condition_variable>
#include <mutex>
#include <optional>

#include "collecting/collector.h"
#include "platform/worker_thread.h"
#include "schedule/sync_schedule.h"

namespace skyloom {

// One cycle in flight. The worker hands its attempt over here, so that Stop() can take it
// without an event loop; `owner` is cleared when nobody will take it any more.
struct SyncDriver::Cycle {
  std::mutex mutex;
  std::condition_variable done;
  std::optional<Attempt> attempt;
  SyncDriver* owner;
};

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

void SyncDriver::Start() {
  lastSync_ = schedule_.InitLastSync(collector_.clock().Now());
  timer_->start();
}

void SyncDriver::Tick() {
  const QDateTime now = collector_.clock().Now();
  emit clockTicked(now);
  // A due fetch waits while another runs: LastSync is unchanged, so a later tick starts it.
  if (schedule_.Due(lastSync_, now) && !busy_ && !asking_) StartTimed(now, /*late=*/false);
  if (lateWanted_ && !busy_ && !asking_) FetchLate();
}

void SyncDriver::FetchLate() {
  const QDateTime now = collector_.clock().Now();
  // Lost, a take-over's only chance at the slot in progress would be gone with it.
  lateWanted_ = true;
  if (busy_ || asking_) return;
  lateWanted_ = false;
  if (!timer_->isActive() || !schedule_.Contains(now.time())) return;
  StartTimed(now, /*late=*/true);
}

void SyncDriver::StartTimed(const QDateTime& due, bool late) {
  if (!gate_) return StartFetch(/*timed=*/true, due);
  asking_ = true;
  gate_(due, [driver = QPointer<SyncDriver>(this), due, late](std::optional<bool> fetch) {
    if (!driver) return;
    driver->asking_ = false;
    if (!driver->timer_->isActive()) return;
    // An answer that came too late, or after its slot ended (a freeze), is not acted on: it
    // would fetch in a slot it was not given. LastSync stays, so a later tick asks afresh.
    const SyncWindows& schedule = driver->schedule_;
    if (!fetch || schedule.SlotStart(driver->collector_.clock().Now()) != schedule.SlotStart(due)) {
      if (late) driver->lateWanted_ = true;
      return;
    }
    // A Get that started meanwhile leaves LastSync as it is, so a later tick asks again.
    if (*fetch && !driver->busy_) return driver->StartFetch(/*timed=*/true, due);
    if (*fetch && late) driver->lateWanted_ = true;
    // A standby keeps time with the active collector, so that it fetches on the same slots
    // once it takes over.
    if (!*fetch && !late) driver->lastSync_ = due;
  });
}

bool SyncDriver::FetchNow() {
  if (busy_) return false;
  StartFetch(/*timed=*/false);
  return true;
}

bool SyncDriver::Stop(std::chrono::milliseconds bound) {
  timer_->stop();
  if (!busy_) return true;
  collector_.Cancel();
  const std::shared_ptr<Cycle> cycle = cycle_;
  std::unique_lock lock(cycle->mutex);
  if (!cycle->done.wait_for(lock, bound, [&] { return cycle->attempt.has_value(); })) {
    cycle->owner = nullptr;
    return false;
  }
  const Attempt attempt = *cycle->attempt;
  cycle->owner = nullptr;  // the queued hand-over that follows is stale
  lock.unlock();
  FinishFetch(attempt);
  return true;
}

void SyncDriver::StartFetch(bool timed, const QDateTime& due) {
  busy_ = true;
  // A timed fetch is the slot in progress's, whether late or not.
  if (timed) lateWanted_ = false;
  // Logged only if the turn is still this collector's and the slot it was due in is still on:
  // a freeze during the download must not put this slot's attempt into another's.
  std::function<bool()> keep;
  if (timed && turnHeld_) {
    keep = [turnHeld = turnHeld_, schedule = schedule_, clock = &collector_.clock(), due] {
      return turnHeld() && schedule.SlotStart(clock->Now()) == schedule.SlotStart(due);
    };
  }
  cycle_ = std::make_shared<Cycle>();
  cycle_->owner = this;
  const QString address = address_ ? address_() : QString();
  emit fetchStarted();
  worker_->Post([collector = &collector_, cycle = cycle_, address, timed, keep] {
    Attempt attempt = collector->Fetch(address, timed, keep);
    const std::lock_guard lock(cycle->mutex);
    cycle->attempt = std::move(attempt);
    cycle->done.notify_all();
    if (SyncDriver* owner = cycle->owner) {
      QMetaObject::invokeMethod(
          owner,
          [owner, cycle] {
            // Stop() may have taken the attempt since this was posted.
            if (cycle != owner->cycle_ || cycle->owner == nullptr) return;
            owner->FinishFetch(*cycle->attempt);
          },
          Qt::QueuedConnection);
    }
  });
}

void SyncDriver::FinishFetch(const Attempt& attempt) {
  busy_ = false;
  cycle_.reset();
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

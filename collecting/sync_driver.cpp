#include "collecting/sync_driver.h"

#include <QThread>
#include <QTimer>

namespace skyloom {

SyncDriver::SyncDriver(Collector& collector, std::function<QString()> address, SyncWindows schedule,
                       QObject* parent)
    : QObject(parent),
      collector_(collector),
      address_(std::move(address)),
      schedule_(std::move(schedule)),
      timer_(new QTimer(this)) {
  timer_->setInterval(1000);
  connect(timer_, &QTimer::timeout, this, &SyncDriver::Tick);
}

SyncDriver::~SyncDriver() {
  // Whoever listens may be half destroyed by now; the cut-short attempt is still logged.
  blockSignals(true);
  Stop();
}

void SyncDriver::Start() {
  lastSync_ = schedule_.InitLastSync(collector_.clock().Now());
  timer_->start();
}

void SyncDriver::Tick() {
  const QDateTime now = collector_.clock().Now();
  emit clockChanged(NowText(now));
  // A due fetch waits while another runs: LastSync is unchanged, so a later tick starts it.
  if (schedule_.Due(lastSync_, now) && !Busy()) StartFetch(/*timed=*/true);
}

bool SyncDriver::FetchNow() {
  if (Busy()) return false;
  StartFetch(/*timed=*/false);
  return true;
}

bool SyncDriver::Busy() const { return worker_ != nullptr; }

void SyncDriver::Stop() {
  timer_->stop();
  if (!worker_) return;
  collector_.CancelFetch();
  worker_->wait();
  FinishFetch();
}

void SyncDriver::StartFetch(bool timed) {
  timed_ = timed;
  const PageRequest request = collector_.BeginFetch(address_());
  worker_ = QThread::create([this, request] { page_ = request.client->Get(request.address); });
  // Queued to this thread: the cycle goes on here once the request has returned. The
  // generation keeps a late signal from a fetch that Stop() already finished from
  // finishing a newer one.
  const quint64 generation = ++generation_;
  connect(
      worker_, &QThread::finished, this,
      [this, generation] {
        if (generation == generation_) FinishFetch();
      },
      Qt::QueuedConnection);
  emit fetchStarted();
  worker_->start();
}

void SyncDriver::FinishFetch() {
  if (!worker_) return;
  worker_->wait();
  delete worker_;
  worker_ = nullptr;
  ++generation_;

  lastAttempt_ = collector_.FinishFetch(std::exchange(page_, PageResponse{}));
  const auto& error = lastAttempt_.stored.error;
  emit resultShown(lastAttempt_.shown);
  if (timed_) {
    const QDateTime now = collector_.clock().Now();
    // LastSync moves on even when the store failed, or a broken database would turn the
    // schedule into a fetch every second.
    lastSync_ = now;
    if (!error) {
      emit lastSyncChanged(kLastSyncPrefix + NowText(now));
      emit addressLockRequested();
    }
  }
  emit fetchFinished(timed_, error ? error->message : QString());
}

}  // namespace skyloom

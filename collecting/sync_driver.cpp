#include "collecting/sync_driver.h"

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

bool SyncDriver::Busy() const { return busy_; }

void SyncDriver::Stop() {
  timer_->stop();
  if (!busy_) return;
  collector_.CancelFetch();
  worker_.Wait();
  FinishFetch();
}

void SyncDriver::StartFetch(bool timed) {
  timed_ = timed;
  busy_ = true;
  const PageRequest request = collector_.BeginFetch(address_());
  // The generation keeps a late signal from a fetch that Stop() already finished from
  // finishing a newer one.
  const quint64 generation = ++generation_;
  const auto finish = [this, generation] {
    if (generation == generation_) FinishFetch();
  };
  emit fetchStarted();
  const std::error_code failed = worker_.Run([this, request, finish] {
    page_ = request.client->Get(request.address);
    // Queued to this thread: the cycle goes on here once the request has returned.
    QMetaObject::invokeMethod(this, finish, Qt::QueuedConnection);
  });
  if (failed) {
    // libcurl's "Failed initialization", as when a request cannot be set up at all.
    page_ = PageResponse{2,
                         QStringLiteral("Failed initialization: no thread for the request: %1")
                             .arg(QString::fromStdString(failed.message())),
                         {}};
    QMetaObject::invokeMethod(this, finish, Qt::QueuedConnection);
  }
}

void SyncDriver::FinishFetch() {
  if (!busy_) return;
  worker_.Wait();
  busy_ = false;
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

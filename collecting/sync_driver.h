#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>
#include <functional>

#include "collecting/collector.h"
#include "collecting/worker_thread.h"
#include "schedule/sync_schedule.h"

class QTimer;

namespace skyloom {

// Drives a collector from the one-second clock: keeps the clock text current, starts timed
// fetches inside the daily windows, and runs fetches on request. The request of each fetch
// waits for the server on a worker thread; the rest of the cycle runs on this object's
// thread, in order, so the window never freezes while a server is slow.
class SyncDriver final : public QObject {
  Q_OBJECT

 public:
  // `address` gives the address box text at the moment a fetch starts.
  SyncDriver(Collector& collector, std::function<QString()> address, SyncWindows schedule,
             QObject* parent = nullptr);
  ~SyncDriver() override;

  // Sets the start value of LastSync and starts the one-second timer.
  void Start();
  // One tick of the clock; public so that tests can tick at chosen instants.
  void Tick();
  // A fetch as the Get button asks for it; false when a fetch is already running.
  bool FetchNow();
  bool Busy() const;
  const SyncWindows& Schedule() const { return schedule_; }
  const Clock& clock() const { return collector_.clock(); }
  // The last timed fetch, or the start value before the first.
  const QDateTime& LastSync() const { return lastSync_; }
  // What the last finished fetch did.
  const Attempt& LastAttempt() const { return lastAttempt_; }
  // Ends a running request at once and finishes its cycle (the attempt is still logged).
  void Stop();

 signals:
  void clockChanged(const QString& text);
  void fetchStarted();
  void resultShown(const QString& text);
  // After every fetch; `storeError` is empty when the attempt was stored and logged.
  void fetchFinished(bool timed, const QString& storeError);
  // After a timed fetch that was stored: the "最后同步：" text, and the address box locks.
  void lastSyncChanged(const QString& text);
  void addressLockRequested();

 private:
  void StartFetch(bool timed);
  void FinishFetch();

  Collector& collector_;
  std::function<QString()> address_;
  SyncWindows schedule_;
  QTimer* timer_;
  WorkerThread worker_;
  bool busy_ = false;
  PageResponse page_;  // written by the worker; read here once it has returned
  bool timed_ = false;
  QDateTime lastSync_;
  Attempt lastAttempt_;
  quint64 generation_ = 0;
};

}  // namespace skyloom

#pragma once

#include <QDateTime>
#include <QSignalSpy>
#include <QString>
#include <atomic>
#include <memory>

#include "collecting/collector.h"
#include "collecting/sync_driver.h"
#include "store/forecast_store.h"
#include "support/fake_clock.h"
#include "support/scratch_db.h"
#include "support/test_server.h"

namespace skyloom::test {

// The collector and its driver on a clock that stands still between ticks, fetching the
// sample page from a loopback server into a scratch database. Only the test ticks.
class ScheduleHarness final {
 public:
  ScheduleHarness();
  ~ScheduleHarness();
  ScheduleHarness(const ScheduleHarness&) = delete;
  ScheduleHarness& operator=(const ScheduleHarness&) = delete;

  // A new collector and driver, as the program has them after start-up at `start` on
  // 7 December 2026; a running one is dropped, as when the program is restarted. `database`
  // is what --db takes; the scratch file by default.
  void StartAt(const QTime& start, const QString& database = {}, const SyncWindows& schedule = {});
  // One tick at `timeOfDay`; a fetch it starts is waited for. True when it started a fetch.
  bool TickAt(const QTime& timeOfDay);
  // Waits for the running fetch to finish; false if none finished within the bound.
  bool WaitForFetch();

  FakeClock& Clock() { return clock_; }
  TestServer& Server() { return server_; }
  const ScratchDb& Db() const { return db_; }
  SyncDriver& Driver() { return *driver_; }
  QSignalSpy& Started() { return *started_; }
  QSignalSpy& Finished() { return *finished_; }
  // The attempt of the `i`th finished fetch (-1: the last), and its store error's message.
  Attempt FinishedAt(qsizetype i) const;
  QString StoreErrorAt(qsizetype i) const;
  QSignalSpy& LastSyncShown() { return *lastSyncShown_; }

  // While set, the server holds every request before answering it.
  std::atomic<bool> holdRequests{false};

 private:
  FakeClock clock_;
  TestServer server_;
  ScratchDb db_;
  std::unique_ptr<ForecastStore> store_;
  std::unique_ptr<Collector> collector_;
  std::unique_ptr<SyncDriver> driver_;
  std::unique_ptr<QSignalSpy> started_;
  std::unique_ptr<QSignalSpy> finished_;
  std::unique_ptr<QSignalSpy> lastSyncShown_;
};

// The instant `timeOfDay` on the harness's day.
QDateTime On7December(const QTime& timeOfDay);

// Resident memory of this process, in KiB.
qint64 ResidentKiB();

}  // namespace skyloom::test

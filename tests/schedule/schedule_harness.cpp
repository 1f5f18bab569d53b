#include "schedule_harness.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <chrono>
#include <thread>

#include "store/open_store.h"
#include "support/application.h"
#include "support/gb_bytes.h"

namespace skyloom::test {
namespace {

using namespace std::chrono_literals;

const QDate kDay(2026, 12, 7);

HttpLimits ShortLimits() {
  HttpLimits limits;
  limits.connect = std::chrono::seconds(2);
  limits.whole = std::chrono::seconds(20);
  return limits;
}

}  // namespace

QDateTime On7December(const QTime& timeOfDay) { return QDateTime(kDay, timeOfDay); }

ScheduleHarness::ScheduleHarness() {
  test::Application();
  const QByteArray page = ReadTestData(QStringLiteral("shortnb_output.html"));
  server_.Http().Get("/page", [this, page](const httplib::Request&, httplib::Response& response) {
    // Bounded, so that a failing test cannot leave the server waiting for ever.
    for (int waited = 0; holdRequests && !server_.Stopping() && waited < 20'000; waited += 10) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    response.set_content(page.constData(), static_cast<size_t>(page.size()),
                         "text/html; charset=gb2312");
  });
  server_.Start();
}

ScheduleHarness::~ScheduleHarness() { holdRequests = false; }

void ScheduleHarness::StartAt(const QTime& start, const QString& database,
                              const SyncWindows& schedule) {
  started_.reset();
  finished_.reset();
  lastSyncShown_.reset();
  driver_.reset();
  collector_.reset();
  store_ = OpenStore(database.isEmpty() ? db_.Path() : database, PgLimits{2s, 5s});
  clock_.Set(On7December(start));
  collector_ = std::make_unique<Collector>(clock_, *store_, ShortLimits());
  const QString address = server_.Url(QStringLiteral("/page"));
  driver_ = std::make_unique<SyncDriver>(
      *collector_, [address] { return address; }, schedule);
  started_ = std::make_unique<QSignalSpy>(driver_.get(), &SyncDriver::fetchStarted);
  finished_ = std::make_unique<QSignalSpy>(driver_.get(), &SyncDriver::fetchFinished);
  lastSyncShown_ = std::make_unique<QSignalSpy>(driver_.get(), &SyncDriver::lastSyncChanged);
  // Without its own timer, so that no tick but the test's comes at the fake clock.
  driver_->Start(/*ownTimer=*/false);
}

bool ScheduleHarness::TickAt(const QTime& timeOfDay) {
  clock_.Set(On7December(timeOfDay));
  const qsizetype before = started_->count();
  driver_->Tick();
  if (started_->count() == before) return false;
  if (!WaitForFetch())
    ADD_FAILURE() << "the fetch started at " << timeOfDay.toString().toStdString()
                  << " did not finish";
  return true;
}

bool ScheduleHarness::WaitForFetch() {
  const qsizetype before = finished_->count();
  while (driver_->Busy() && finished_->count() == before) {
    if (!finished_->wait(30'000)) return false;
  }
  return finished_->count() > before;
}

Attempt ScheduleHarness::FinishedAt(qsizetype i) const {
  return finished_->at(i < 0 ? finished_->size() + i : i).at(0).value<Attempt>();
}

QString ScheduleHarness::StoreErrorAt(qsizetype i) const {
  const Attempt attempt = FinishedAt(i);
  return attempt.stored.error ? attempt.stored.error->message : QString();
}

qint64 ResidentKiB() {
  QFile status(QStringLiteral("/proc/self/status"));
  if (!status.open(QIODevice::ReadOnly)) return -1;
  for (const QByteArray& line : status.readAll().split('\n')) {
    if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').value(0).toLongLong();
  }
  return -1;
}

}  // namespace skyloom::test

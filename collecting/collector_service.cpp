#include "collecting/collector_service.h"

#include "collecting/collector.h"
#include "collecting/role_keeper.h"
#include "collecting/sync_driver.h"
#include "platform/worker_thread.h"
#include "store/open_store.h"

namespace skyloom {

struct CollectorService::Core {
  Core(const Clock& clock, const ServiceSettings& settings)
      : store(OpenStore(settings.databaseLocation, settings.databaseLimits)),
        collector(clock, *store, settings.limits, settings.markers) {
    store->SetEventRoutes(RoutesOf(settings.channels));
  }

  std::unique_ptr<ForecastStore> store;
  Collector collector;
};

CollectorService::CollectorService(const Clock& clock, const ServiceSettings& settings,
                                   QObject* parent)
    : QObject(parent),
      clock_(clock),
      settings_(settings),
      core_(std::make_shared<Core>(clock, settings)),
      driver_(std::make_unique<SyncDriver>(
          core_->collector, [address = settings.address] { return address; }, settings.schedule)) {
  qRegisterMetaType<Event>();
  qRegisterMetaType<RowsRemoved>();
  if (settings.standby) {
    roles_ = std::make_unique<RoleKeeper>(
        OpenCollectorLease(settings.databaseLocation, settings.databaseLimits, settings.leaseTerm),
        settings.schedule);
    driver_->SetTimedFetchGate(
        [roles = roles_.get()](const QDateTime& due, auto answer) {
          roles->AskTimedFetch(due, std::move(answer));
        },
        roles_->TurnHeld());
    connect(driver_.get(), &SyncDriver::fetchDropped, this, [this] {
      emit report(
          QStringLiteral("a timed fetch was not logged: the turn passed to another "
                         "collector during it"));
    });
    connect(roles_.get(), &RoleKeeper::tookOver, driver_.get(), &SyncDriver::FetchLate);
    connect(roles_.get(), &RoleKeeper::report, this, &CollectorService::report);
    connect(roles_.get(), &RoleKeeper::roleChanged, this, &CollectorService::roleChanged);
    connect(roles_.get(), &RoleKeeper::standingChanged, this, &CollectorService::standingChanged);
  }
  connect(driver_.get(), &SyncDriver::fetchStarted, this, [this] { fetchTime_.start(); });
  connect(driver_.get(), &SyncDriver::fetchFinished, this, &CollectorService::OnFetchFinished);
  connect(driver_.get(), &SyncDriver::clockTicked, this, &CollectorService::RemoveOldRows);
}

CollectorService::~CollectorService() { Stop(); }

const Collector& CollectorService::collector() const { return core_->collector; }

CollectorRole CollectorService::Role() const {
  return roles_ ? roles_->Role() : CollectorRole::Active;
}

std::function<bool()> CollectorService::TurnHeld() const {
  return roles_ ? roles_->TurnHeld() : [] { return true; };
}

void CollectorService::SetAddressSource(std::function<QString()> address) {
  driver_->SetAddressSource(address ? std::move(address)
                                    : [fixed = settings_.address] { return fixed; });
}

void CollectorService::Start() {
  stopped_ = false;
  if (roles_) roles_->Start();
  driver_->Start();
}

void CollectorService::Stop() {
  if (std::exchange(stopped_, true)) return;
  if (!driver_->Stop()) {
    emit report(QStringLiteral("an attempt still waiting for the database was left unfinished"));
    // The attempt still uses its store and collector: they stay until the process exits.
    KeepUntilExit(core_);
  }
  if (roles_) roles_->Stop();
}

void CollectorService::OnFetchFinished() {
  const Attempt& attempt = driver_->LastAttempt();
  emit attemptFinished(attempt, std::chrono::milliseconds(fetchTime_.elapsed()));
  for (const Event& event : attempt.stored.events) emit eventCommitted(event);
}

void CollectorService::RemoveOldRows(const QDateTime& now) {
  const Retention keep{settings_.keepAttemptsDays, settings_.keepDeliveriesDays};
  if (keep.KeepsAll() || removing_ || removedOn_ == now.date()) return;
  if (Role() != CollectorRole::Active) return;
  // Stops between batches when a fetch wants the thread or the turn passes; the next tick
  // goes on where it stopped.
  auto goOn = [waiting = driver_->CycleWaiting(), turnHeld = TurnHeld()] {
    return !waiting() && turnHeld();
  };
  removing_ = driver_->RunBetweenCycles(
      [core = core_, keep, now, goOn] {
        return skyloom::RemoveOldRows(*core->store, keep, now, goOn);
      },
      [this, day = now.date()](const RowsRemoved& removed) {
        removing_ = false;
        // A failed round is tried again tomorrow, not every second.
        if (removed.finished || !removed.problem.isEmpty()) removedOn_ = day;
        if (!removed.problem.isEmpty()) {
          emit report(QStringLiteral("old rows were not deleted: %1").arg(removed.problem));
        }
        if (removed.attempts > 0 || removed.deliveries > 0) emit rowsRemoved(removed);
      });
}

}  // namespace skyloom

#include "collecting/delivery.h"

#include "collecting/sync_driver.h"
#include "store/forecast_store.h"

namespace skyloom {
namespace {

NewForecastHook* HookFor(const QString& command, const char* key, QObject* parent) {
  if (command.isEmpty()) return nullptr;
  return new NewForecastHook(command, parent, std::chrono::seconds(30), QLatin1String(key));
}

}  // namespace

Delivery::Delivery(const ServiceSettings& settings, SyncDriver& driver, ForecastStore& store,
                   QObject* parent)
    : QObject(parent),
      driver_(driver),
      store_(store),
      listen_(settings.listen),
      api_(settings.databaseLocation, settings.databaseLimits, metrics_, driver.clock(),
           settings.schedule),
      hook_(HookFor(settings.onNew, "on_new", this)),
      failureHook_(HookFor(settings.onFailure, "on_failure", this)),
      recoveryHook_(HookFor(settings.onRecovery, "on_recovery", this)) {
  connect(&driver_, &SyncDriver::fetchStarted, this, [this] { fetchTime_.start(); });
  connect(&driver_, &SyncDriver::fetchFinished, this, &Delivery::OnFinished);
  for (const auto& [hook, key] : {std::pair{hook_, "on_new: "},
                                  {failureHook_, "on_failure: "},
                                  {recoveryHook_, "on_recovery: "}}) {
    if (!hook) continue;
    connect(hook, &NewForecastHook::finished, this, [this, key](const QString& problem) {
      if (!problem.isEmpty()) emit report(QLatin1String(key) + problem);
    });
  }
}

Delivery::~Delivery() { api_.Stop(); }

std::optional<QString> Delivery::Start() {
  if (listen_.isEmpty()) return std::nullopt;
  QString bound;
  if (auto problem = api_.Start(listen_, bound)) {
    return QStringLiteral("cannot serve the API on %1: %2").arg(listen_, *problem);
  }
  emit report(QStringLiteral("serving the API on http://%1").arg(bound));
  return std::nullopt;
}

void Delivery::OnFinished() {
  const Attempt& attempt = driver_.LastAttempt();
  metrics_.RecordAttempt(attempt.stored, std::chrono::milliseconds(fetchTime_.elapsed()));
  const QString ended = driver_.clock().Now().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
  if (const auto alert = alerts_.Record(attempt.stored, ended)) {
    NewForecastHook* hook =
        alert->alert == FailureAlerts::Alert::Failure ? failureHook_ : recoveryHook_;
    if (hook) hook->Run(alert->subject, alert->environment);
  }
  if (!hook_ || attempt.stored.outcome != StoreOutcome::Stored) return;
  // The row's own time, as readers of the database see it.
  std::vector<ForecastRow> rows;
  const qint64 id = attempt.stored.forecastId;
  if (store_.NewestForecasts(1, id + 1, rows) || rows.empty() || rows[0].id != id) {
    emit report(QStringLiteral("on_new: forecast %1 could not be read back").arg(id));
    return;
  }
  hook_->Run(id, rows[0].logtime, rows[0].text.value_or(QString()));
}

}  // namespace skyloom

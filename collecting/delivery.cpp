#include "collecting/delivery.h"

#include "collecting/sync_driver.h"
#include "store/forecast_store.h"

namespace skyloom {

Delivery::Delivery(const ServiceSettings& settings, SyncDriver& driver, ForecastStore& store,
                   QObject* parent)
    : QObject(parent),
      driver_(driver),
      store_(store),
      listen_(settings.listen),
      api_(settings.databaseLocation, settings.databaseLimits, metrics_),
      hook_(settings.onNew.isEmpty() ? nullptr : new NewForecastHook(settings.onNew, this)) {
  connect(&driver_, &SyncDriver::fetchStarted, this, [this] { fetchTime_.start(); });
  connect(&driver_, &SyncDriver::fetchFinished, this, &Delivery::OnFinished);
  if (hook_) {
    connect(hook_, &NewForecastHook::finished, this, [this](const QString& problem) {
      if (!problem.isEmpty()) emit report(QStringLiteral("on_new: ") + problem);
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
  if (!hook_ || attempt.stored.outcome != StoreOutcome::Stored) return;
  // The row's own time, as readers of the database see it.
  const qint64 id = attempt.stored.forecastId;
  const auto rows = store_.NewestForecasts(1, id + 1);
  if (!rows || rows->empty() || rows->front().id != id) {
    emit report(QStringLiteral("on_new: forecast %1 could not be read back").arg(id));
    return;
  }
  hook_->Run(id, rows->front().logtime, rows->front().text.value_or(QString()));
}

}  // namespace skyloom

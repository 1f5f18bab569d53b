#include "app/running_collector.h"

#include "collecting/collector_service.h"
#include "hooks/command_queue.h"
#include "hooks/event_commands.h"
#include "serving/http_api.h"
#include "serving/metrics.h"

namespace skyloom {

RunningCollector::RunningCollector(const Clock& clock, const ServiceSettings& settings,
                                   QObject* parent)
    : QObject(parent),
      settings_(settings),
      service_(std::make_unique<CollectorService>(clock, settings)),
      metrics_(std::make_unique<Metrics>()),
      commands_(new CommandQueue(this)) {
  if (!settings.listen.isEmpty()) {
    api_ = std::make_unique<HttpApi>(settings.databaseLocation, settings.databaseLimits, *metrics_,
                                     clock, settings.schedule);
    connect(service_.get(), &CollectorService::roleChanged, this,
            [api = api_.get()](CollectorRole role) { api->SetRole(role); });
    // Every collector hears of new forecasts from the store; this one need not wait for it.
    connect(service_.get(), &CollectorService::forecastStored, this,
            [api = api_.get()](const ForecastRow&) { api->ForecastStored(); });
  }
  connect(service_.get(), &CollectorService::report, this, &RunningCollector::report);
  connect(commands_, &CommandQueue::finished, this, [this](const QString& problem) {
    if (!problem.isEmpty()) emit report(problem);
  });
  connect(service_.get(), &CollectorService::attemptFinished, this,
          [this](const Attempt& attempt, std::chrono::milliseconds took) {
            metrics_->RecordAttempt(attempt.stored, took);
          });
  connect(service_.get(), &CollectorService::alertRaised, this,
          [this](FailureAlerts::Alert alert, const Attempt& attempt, int failures) {
            const bool failed = alert == FailureAlerts::Alert::Failure;
            commands_->Enqueue(
                AlertCommand(failed ? QStringLiteral("on_failure") : QStringLiteral("on_recovery"),
                             failed ? settings_.onFailure : settings_.onRecovery, attempt.stored,
                             LogTimeText(attempt.finishedAt), failures));
          });
  connect(service_.get(), &CollectorService::forecastStored, this, [this](const ForecastRow& row) {
    commands_->Enqueue(
        NewForecastCommand(settings_.onNew, row.id, row.logtime, row.text.value_or(QString())));
  });
}

RunningCollector::~RunningCollector() { Stop(); }

std::optional<QString> RunningCollector::Start() {
  stopped_ = false;
  if (api_) {
    const auto bound = api_->Start(settings_.listen);
    if (!bound) {
      return QStringLiteral("cannot serve the API on %1: %2").arg(settings_.listen, bound.error());
    }
    emit report(QStringLiteral("serving the API on http://%1").arg(*bound));
  }
  service_->Start();
  return std::nullopt;
}

void RunningCollector::Stop() {
  if (std::exchange(stopped_, true)) return;
  service_->Stop();
  if (api_) api_->Stop();
}

}  // namespace skyloom

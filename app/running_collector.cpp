#include "app/running_collector.h"

#include "collecting/collector_service.h"
#include "delivery/delivery_worker.h"
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
      commands_(new CommandQueue(this)),
      deliveries_(new DeliveryWorker(clock, settings, this)) {
  if (!settings.listen.isEmpty()) {
    api_ = std::make_unique<HttpApi>(settings.databaseLocation, settings.databaseLimits, *metrics_,
                                     clock, settings.schedule);
    connect(service_.get(), &CollectorService::standingChanged, this,
            [api = api_.get()](const GroupStanding& standing) { api->SetRole(standing); });
  }
  connect(service_.get(), &CollectorService::report, this, &RunningCollector::report);
  connect(commands_, &CommandQueue::finished, this, [this](const QString& problem) {
    if (!problem.isEmpty()) emit report(problem);
  });
  connect(service_.get(), &CollectorService::attemptFinished, this,
          [this](const Attempt& attempt, std::chrono::milliseconds took) {
            metrics_->RecordAttempt(attempt.stored, took);
            // Every collector hears of changes from the store; this one need not wait for it.
            if (api_) api_->RecordChanged();
          });
  connect(service_.get(), &CollectorService::rowsRemoved, this, [this](const RowsRemoved& removed) {
    metrics_->AddRowsRemoved(removed.attempts, removed.deliveries);
  });
  connect(service_.get(), &CollectorService::eventCommitted, this, [this](const Event& event) {
    commands_->Enqueue(CommandFor(event, settings_.EventCommand(event.kind)));
    // Its rows were written with it; this only saves the worker a look.
    deliveries_->Wake();
  });
  connect(deliveries_, &DeliveryWorker::report, this, &RunningCollector::report);
  connect(deliveries_, &DeliveryWorker::tried, this,
          [this](const QString& channel, DeliveryWorker::Outcome outcome) {
            metrics_->RecordDelivery(channel, outcome);
          });
  if (!settings.channels.empty()) {
    connect(deliveries_, &DeliveryWorker::summarised, this,
            [this](const OutboxSummary& summary) { metrics_->SetOutbox(summary); });
  }
  connect(service_.get(), &CollectorService::roleChanged, deliveries_,
          [this](CollectorRole role) { deliveries_->SetActive(role == CollectorRole::Active); });
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
  deliveries_->SetTurnHeld(service_->TurnHeld());
  deliveries_->Start();
  deliveries_->SetActive(service_->Role() == CollectorRole::Active);
  return std::nullopt;
}

void RunningCollector::Stop() {
  if (std::exchange(stopped_, true)) return;
  deliveries_->Stop();
  service_->Stop();
  if (api_) api_->Stop();
}

}  // namespace skyloom

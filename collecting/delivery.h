#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <optional>

#include "collecting/service_settings.h"
#include "serving/failure_alerts.h"
#include "serving/http_api.h"
#include "serving/metrics.h"
#include "serving/new_forecast_hook.h"

namespace skyloom {

class ForecastStore;
class SyncDriver;

// What a running collector hands on beyond its database: the HTTP API with its metrics, and
// the command run on each new forecast. The window and the headless runner each have one.
class Delivery final : public QObject {
  Q_OBJECT

 public:
  Delivery(const ServiceSettings& settings, SyncDriver& driver, ForecastStore& store,
           QObject* parent = nullptr);
  ~Delivery() override;

  // Starts the API when --listen asks for it; what went wrong, if anything.
  std::optional<QString> Start();

 signals:
  // A line for standard error: where the API listens, or what a hook did wrong.
  void report(const QString& line);

 private:
  void OnFinished();

  SyncDriver& driver_;
  ForecastStore& store_;
  QString listen_;
  Metrics metrics_;
  HttpApi api_;
  NewForecastHook* hook_;
  FailureAlerts alerts_;
  NewForecastHook* failureHook_;
  NewForecastHook* recoveryHook_;
  QElapsedTimer fetchTime_;
};

}  // namespace skyloom

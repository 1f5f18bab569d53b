#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

#include "collecting/service_settings.h"
#include "platform/clock.h"
#include "serving/failure_alerts.h"
#include "store/collector_lease.h"

namespace skyloom {

class Collector;
class ForecastStore;
class HttpApi;
class Metrics;
class NewForecastHook;
class RoleKeeper;
class SyncDriver;

// A running collector: its store, the collector and the schedule driver, and what serves and
// notifies beside them (the HTTP API with its metrics, the commands run on a new forecast, on
// failure and on recovery). The window and
// the headless runner each build one and present what it reports; every database wait
// happens on threads of its own, never on the thread it lives on.
class CollectorService final : public QObject {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(CollectorService)

 public:
  CollectorService(const Clock& clock, const ServiceSettings& settings, QObject* parent = nullptr);
  // Stops first (see Stop), so that nothing owned here outlives what it uses.
  ~CollectorService() override;

  // Starts the API when the settings ask for it, then the schedule; what went wrong, if
  // anything, and then nothing has started.
  std::optional<QString> Start();
  // Ends the schedule, a running attempt within a few seconds, and the API. An attempt whose
  // database call does not end in time is left to the process's exit.
  void Stop();

  SyncDriver& Driver() { return *driver_; }
  const Collector& collector() const;
  const Clock& clock() const { return clock_; }
  const ServiceSettings& Settings() const { return settings_; }
  // Where the address of each fetch comes from; the settings' address by default.
  void SetAddressSource(std::function<QString()> address);
  // Whether this collector runs the timed fetches of its group or stands by.
  CollectorRole Role() const;

 signals:
  // A line for standard error: where the API listens, or what a hook did wrong.
  void report(const QString& line);
  void roleChanged(skyloom::CollectorRole role);

 private:
  // What the attempt thread uses; kept whole, and left behind with it, when an attempt never
  // ends.
  struct Core;

  void OnFetchFinished();

  const Clock& clock_;
  const ServiceSettings settings_;
  std::shared_ptr<Core> core_;
  std::unique_ptr<SyncDriver> driver_;
  std::unique_ptr<Metrics> metrics_;
  std::unique_ptr<HttpApi> api_;
  std::unique_ptr<RoleKeeper> roles_;  // none when standing by is off
  NewForecastHook* hook_ = nullptr;
  NewForecastHook* failureHook_ = nullptr;
  NewForecastHook* recoveryHook_ = nullptr;
  FailureAlerts alerts_;
  QElapsedTimer fetchTime_;
  bool stopped_ = false;
};

}  // namespace skyloom

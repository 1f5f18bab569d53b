#pragma once

#include <QObject>
#include <QString>
#include <memory>
#include <optional>

#include "settings/service_settings.h"

namespace skyloom {

class Clock;
class CollectorService;
class CommandQueue;
class DeliveryWorker;
class HttpApi;
class Metrics;

// The collector with everything that sends its values on: the HTTP API and its metrics, and
// the commands run on a new forecast, on failure and on recovery, and the channels that
// deliver them. The window and the headless
// runner each build one; the service itself never sees what listens to it.
class RunningCollector final : public QObject {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(RunningCollector)

 public:
  RunningCollector(const Clock& clock, const ServiceSettings& settings, QObject* parent = nullptr);
  // Stops first (see Stop).
  ~RunningCollector() override;

  // Starts the API when the settings ask for it, then the service; what went wrong, if
  // anything, and then nothing has started.
  std::optional<QString> Start();
  // Ends the service, then the API; commands under way get what is left of their time when
  // this object goes.
  void Stop();

  CollectorService& Service() { return *service_; }

 signals:
  // A line for standard error: where the API listens, what a command did wrong, or what the
  // service reports.
  void report(const QString& line);

 private:
  const ServiceSettings settings_;
  std::unique_ptr<CollectorService> service_;
  std::unique_ptr<Metrics> metrics_;
  std::unique_ptr<HttpApi> api_;  // none without a listen address
  CommandQueue* commands_;
  DeliveryWorker* deliveries_;
  bool stopped_ = false;
};

}  // namespace skyloom

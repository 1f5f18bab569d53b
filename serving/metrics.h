#pragma once

#include <QByteArray>
#include <array>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>

#include "delivery/delivery_worker.h"
#include "serving/forecast_events.h"
#include "serving/health.h"
#include "serving/store_watcher.h"
#include "store/collector_lease.h"
#include "store/forecast_store.h"

namespace skyloom {

// Counts what the collector did, for Prometheus. The collector's thread records; the API's
// threads read.
class Metrics final {
 public:
  Metrics() = default;
  Metrics(const Metrics&) = delete;
  Metrics& operator=(const Metrics&) = delete;

  void RecordAttempt(const StoreResult& stored, std::chrono::milliseconds fetchDuration);
  void RecordDelivery(const QString& channel, DeliveryWorker::Outcome outcome);
  // Rows deleted as old: attempts (tqlog) and finished deliveries (outbox).
  void AddRowsRemoved(qint64 attempts, qint64 deliveries);
  // What the outbox held when last read; nothing until then, or without channels.
  void SetOutbox(const OutboxSummary& summary);
  std::optional<OutboxSummary> Outbox() const;
  // Text exposition format 0.0.4, with the log's consecutive failures and last success, the
  // role the health names, the readers who wait for news and the store watcher's looks.
  QByteArray PrometheusText(const HealthReport& health, const EventCounts& events,
                            const LookCounts& looks = {}) const;

 private:
  // Upper bounds of the duration buckets, in seconds; the last is the whole-request limit.
  static constexpr std::array<double, 10> kBuckets{0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60, 120};
  static constexpr int kResults = 5;

  mutable std::mutex mutex_;
  std::array<quint64, kResults> attempts_{};
  quint64 forecastsStored_ = 0;
  std::array<quint64, kBuckets.size()> buckets_{};  // not cumulative
  quint64 fetches_ = 0;
  std::chrono::milliseconds fetchTime_{0};
  std::map<QString, std::array<quint64, 3>> deliveries_;  // by channel: sent, retried, given up
  std::optional<OutboxSummary> outbox_;
  quint64 attemptsRemoved_ = 0;
  quint64 deliveriesRemoved_ = 0;
};

}  // namespace skyloom

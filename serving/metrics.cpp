#include "serving/metrics.h"

#include <QDateTime>

#include "platform/program_info.h"

namespace skyloom {
namespace {

// The label values of skyloom_attempts_total, in this order.
enum Result : size_t { kStored, kUnchanged, kEmpty, kFetchError, kStoreError };
constexpr std::array<const char*, 5> kResultNames{"stored", "unchanged", "empty", "error",
                                                  "store_error"};

Result ResultOf(const StoreResult& stored) {
  if (stored.error) return kStoreError;
  switch (stored.outcome) {
    case StoreOutcome::Stored:
      return kStored;
    case StoreOutcome::Unchanged:
      return kUnchanged;
    case StoreOutcome::Empty:
      return kEmpty;
    case StoreOutcome::NotCompared:
      break;
  }
  return kFetchError;
}

QByteArray LabelValue(const QString& value) {
  QByteArray escaped = value.toUtf8();
  escaped.replace('\\', "\\\\").replace('"', "\\\"").replace('\n', "\\n");
  return escaped;
}

void Family(QByteArray& text, const char* name, const char* type, const char* help) {
  text.append("# HELP ").append(name).append(' ').append(help).append('\n');
  text.append("# TYPE ").append(name).append(' ').append(type).append('\n');
}

}  // namespace

void Metrics::RecordAttempt(const StoreResult& stored, std::chrono::milliseconds fetchDuration) {
  size_t bucket = 0;
  while (bucket < kBuckets.size() && fetchDuration.count() > kBuckets[bucket] * 1000) ++bucket;

  const std::lock_guard lock(mutex_);
  ++attempts_[ResultOf(stored)];
  if (!stored.error && stored.outcome == StoreOutcome::Stored) ++forecastsStored_;
  if (bucket < kBuckets.size()) ++buckets_[bucket];
  ++fetches_;
  fetchTime_ += fetchDuration;
}

void Metrics::RecordDelivery(const QString& channel, DeliveryWorker::Outcome outcome) {
  const std::lock_guard lock(mutex_);
  ++deliveries_[channel][static_cast<size_t>(outcome)];
}

void Metrics::SetOutbox(const OutboxSummary& summary) {
  const std::lock_guard lock(mutex_);
  outbox_ = summary;
}

std::optional<OutboxSummary> Metrics::Outbox() const {
  const std::lock_guard lock(mutex_);
  return outbox_;
}

QByteArray Metrics::PrometheusText(const HealthReport& health, const EventCounts& events) const {
  static_assert(kResultNames.size() == kResults);
  QByteArray text;
  text.reserve(2048);
  const std::lock_guard lock(mutex_);

  Family(text, "skyloom_attempts_total", "counter", "Fetch attempts by what the store did.");
  for (size_t i = 0; i < kResultNames.size(); ++i) {
    text.append("skyloom_attempts_total{result=\"")
        .append(kResultNames[i])
        .append("\"} ")
        .append(QByteArray::number(attempts_[i]))
        .append('\n');
  }
  Family(text, "skyloom_forecasts_stored_total", "counter", "New forecasts written.");
  text.append("skyloom_forecasts_stored_total ")
      .append(QByteArray::number(forecastsStored_))
      .append('\n');
  // From the log, as /health tells them; left out while the log cannot be read.
  if (health.consecutiveFailures) {
    Family(text, "skyloom_consecutive_failures", "gauge",
           "Attempts logged since the last that cut out a forecast.");
    text.append("skyloom_consecutive_failures ")
        .append(QByteArray::number(*health.consecutiveFailures))
        .append('\n');
    const QDateTime lastSuccess = QDateTime::fromString(health.lastSuccess.value_or(QString()),
                                                        QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    Family(text, "skyloom_last_success_timestamp_seconds", "gauge",
           "When the last attempt that cut out a forecast was logged; 0 before the first.");
    text.append("skyloom_last_success_timestamp_seconds ")
        .append(QByteArray::number(lastSuccess.isValid() ? lastSuccess.toSecsSinceEpoch() : 0))
        .append('\n');
  }

  Family(text, "skyloom_fetch_duration_seconds", "histogram",
         "Time from the start of a fetch until its attempt was logged.");
  quint64 cumulative = 0;
  for (size_t i = 0; i < kBuckets.size(); ++i) {
    cumulative += buckets_[i];
    text.append("skyloom_fetch_duration_seconds_bucket{le=\"")
        .append(QByteArray::number(kBuckets[i]))
        .append("\"} ")
        .append(QByteArray::number(cumulative))
        .append('\n');
  }
  text.append("skyloom_fetch_duration_seconds_bucket{le=\"+Inf\"} ")
      .append(QByteArray::number(fetches_))
      .append('\n');
  text.append("skyloom_fetch_duration_seconds_sum ")
      .append(QByteArray::number(static_cast<double>(fetchTime_.count()) / 1000, 'f', 3))
      .append('\n');
  text.append("skyloom_fetch_duration_seconds_count ")
      .append(QByteArray::number(fetches_))
      .append('\n');

  Family(text, "skyloom_role", "gauge",
         "1 for this collector's role in its group: active runs the timed fetches.");
  for (const CollectorRole role : {CollectorRole::Active, CollectorRole::Standby}) {
    text.append("skyloom_role{role=\"")
        .append(RoleName(role).toLatin1())
        .append("\"} ")
        .append(role == health.role ? "1\n" : "0\n");
  }

  Family(text, "skyloom_takeovers_total", "counter",
         "Turns this collector took over from another collector of its group.");
  text.append("skyloom_takeovers_total ").append(QByteArray::number(health.takeovers)).append('\n');
  if (!deliveries_.empty()) {
    Family(text, "skyloom_deliveries_total", "counter",
           "Tries of outbox messages by channel: sent, retried later, or given up.");
    for (const auto& [channel, counts] : deliveries_) {
      const char* outcomes[] = {"sent", "retried", "given_up"};
      for (size_t i = 0; i < counts.size(); ++i) {
        text.append("skyloom_deliveries_total{channel=\"")
            .append(LabelValue(channel))
            .append("\",outcome=\"")
            .append(outcomes[i])
            .append("\"} ")
            .append(QByteArray::number(counts[i]))
            .append('\n');
      }
    }
  }
  if (health.deliveriesPending) {
    Family(text, "skyloom_deliveries_pending", "gauge", "Outbox messages waiting to be sent.");
    text.append("skyloom_deliveries_pending ")
        .append(QByteArray::number(*health.deliveriesPending))
        .append('\n');
    Family(text, "skyloom_delivery_oldest_pending_seconds", "gauge",
           "How long the oldest waiting outbox message has waited; 0 when none waits.");
    text.append("skyloom_delivery_oldest_pending_seconds ")
        .append(QByteArray::number(health.oldestPendingSeconds.value_or(0)))
        .append('\n');
  }
  Family(text, "skyloom_event_streams", "gauge", "Open GET /events streams.");
  text.append("skyloom_event_streams ").append(QByteArray::number(events.streams)).append('\n');
  Family(text, "skyloom_events_sent_total", "counter", "Events sent to the streams.");
  text.append("skyloom_events_sent_total ")
      .append(QByteArray::number(events.eventsSent))
      .append('\n');
  Family(text, "skyloom_long_polls_waiting", "gauge",
         "GET /forecast requests waiting for a newer forecast.");
  text.append("skyloom_long_polls_waiting ")
      .append(QByteArray::number(events.waiting))
      .append('\n');

  Family(text, "skyloom_build_info", "gauge", "The running version; always 1.");
  text.append("skyloom_build_info{version=\"").append(LabelValue(VersionText())).append("\"} 1\n");
  return text;
}

}  // namespace skyloom

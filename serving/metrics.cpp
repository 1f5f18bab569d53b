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

// One sample: the series (a name, and its labels if any) and its value.
void Sample(QByteArray& text, const QByteArray& series, const QByteArray& value) {
  text.append(series).append(' ').append(value).append('\n');
}

template <typename Number>
void Sample(QByteArray& text, const QByteArray& series, Number value) {
  Sample(text, series, QByteArray::number(value));
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

void Metrics::AddRowsRemoved(qint64 attempts, qint64 deliveries) {
  const std::lock_guard lock(mutex_);
  attemptsRemoved_ += static_cast<quint64>(attempts);
  deliveriesRemoved_ += static_cast<quint64>(deliveries);
}

void Metrics::SetOutbox(const OutboxSummary& summary) {
  const std::lock_guard lock(mutex_);
  outbox_ = summary;
}

std::optional<OutboxSummary> Metrics::Outbox() const {
  const std::lock_guard lock(mutex_);
  return outbox_;
}

QByteArray Metrics::PrometheusText(const HealthReport& health, const EventCounts& events,
                                   const LookCounts& looks) const {
  static_assert(kResultNames.size() == kResults);
  QByteArray text;
  text.reserve(2048);
  const std::lock_guard lock(mutex_);

  Family(text, "skyloom_attempts_total", "counter", "Fetch attempts by what the store did.");
  for (size_t i = 0; i < kResultNames.size(); ++i) {
    Sample(text, QByteArray("skyloom_attempts_total{result=\"") + kResultNames[i] + "\"}",
           attempts_[i]);
  }
  Family(text, "skyloom_forecasts_stored_total", "counter", "New forecasts written.");
  Sample(text, "skyloom_forecasts_stored_total", forecastsStored_);
  // From the log, as /health tells them; left out while the log cannot be read.
  if (health.consecutiveFailures) {
    Family(text, "skyloom_consecutive_failures", "gauge",
           "Attempts logged since the last that cut out a forecast.");
    Sample(text, "skyloom_consecutive_failures", *health.consecutiveFailures);
    const QDateTime lastSuccess = QDateTime::fromString(health.lastSuccess.value_or(QString()),
                                                        QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    Family(text, "skyloom_last_success_timestamp_seconds", "gauge",
           "When the last attempt that cut out a forecast was logged; 0 before the first.");
    Sample(text, "skyloom_last_success_timestamp_seconds",
           lastSuccess.isValid() ? lastSuccess.toSecsSinceEpoch() : 0);
  }

  Family(text, "skyloom_fetch_duration_seconds", "histogram",
         "Time from the start of a fetch until its attempt was logged.");
  quint64 cumulative = 0;
  for (size_t i = 0; i < kBuckets.size(); ++i) {
    cumulative += buckets_[i];
    Sample(text,
           "skyloom_fetch_duration_seconds_bucket{le=\"" + QByteArray::number(kBuckets[i]) + "\"}",
           cumulative);
  }
  Sample(text, "skyloom_fetch_duration_seconds_bucket{le=\"+Inf\"}", fetches_);
  Sample(text, "skyloom_fetch_duration_seconds_sum",
         QByteArray::number(static_cast<double>(fetchTime_.count()) / 1000, 'f', 3));
  Sample(text, "skyloom_fetch_duration_seconds_count", fetches_);

  Family(text, "skyloom_role", "gauge",
         "1 for this collector's role in its group: active runs the timed fetches.");
  for (const CollectorRole role : {CollectorRole::Active, CollectorRole::Standby}) {
    Sample(text, "skyloom_role{role=\"" + RoleName(role).toLatin1() + "\"}",
           role == health.role ? 1 : 0);
  }

  if (!health.servers.empty()) {
    Family(text, "skyloom_db_reconnects_total", "counter",
           "Server connections made again after one broke or found its server read-only.");
    for (const PgLinkState& link : health.servers) {
      Sample(text, "skyloom_db_reconnects_total{connection=\"" + LabelValue(link.kind) + "\"}",
             link.reconnects);
    }
    Family(text, "skyloom_db_on_primary", "gauge",
           "1 while every connection of the kind is on a primary, 0 while any is on a standby "
           "or none is connected.");
    for (const PgLinkState& link : health.servers) {
      Sample(text, "skyloom_db_on_primary{connection=\"" + LabelValue(link.kind) + "\"}",
             link.primary ? 1 : 0);
    }
  }

  Family(text, "skyloom_takeovers_total", "counter",
         "Turns this collector took over from another collector of its group.");
  Sample(text, "skyloom_takeovers_total", health.takeovers);
  if (!deliveries_.empty()) {
    Family(text, "skyloom_deliveries_total", "counter",
           "Tries of outbox messages by channel: sent, retried later, or given up.");
    for (const auto& [channel, counts] : deliveries_) {
      const char* outcomes[] = {"sent", "retried", "given_up"};
      for (size_t i = 0; i < counts.size(); ++i) {
        Sample(text,
               "skyloom_deliveries_total{channel=\"" + LabelValue(channel) + "\",outcome=\"" +
                   outcomes[i] + "\"}",
               counts[i]);
      }
    }
  }
  if (health.deliveriesPending) {
    Family(text, "skyloom_deliveries_pending", "gauge", "Outbox messages waiting to be sent.");
    Sample(text, "skyloom_deliveries_pending", *health.deliveriesPending);
    Family(text, "skyloom_delivery_oldest_pending_seconds", "gauge",
           "How long the oldest waiting outbox message has waited; 0 when none waits.");
    Sample(text, "skyloom_delivery_oldest_pending_seconds",
           health.oldestPendingSeconds.value_or(0));
  }
  Family(text, "skyloom_rows_removed_total", "counter",
         "Rows deleted as older than the settings keep them, by table.");
  Sample(text, "skyloom_rows_removed_total{table=\"tqlog\"}", attemptsRemoved_);
  Sample(text, "skyloom_rows_removed_total{table=\"outbox\"}", deliveriesRemoved_);
  Family(text, "skyloom_event_streams", "gauge", "Open GET /events streams.");
  Sample(text, "skyloom_event_streams", events.streams);
  Family(text, "skyloom_events_sent_total", "counter", "Events sent to the streams.");
  Sample(text, "skyloom_events_sent_total", events.eventsSent);
  Family(text, "skyloom_long_polls_waiting", "gauge",
         "GET /forecast requests waiting for a newer forecast.");
  Sample(text, "skyloom_long_polls_waiting", events.waiting);
  Family(text, "skyloom_store_looks_total", "counter",
         "Looks at the store for changes, by what led to them: the start, a write the kernel "
         "told of, a collector's notice, the timer, a request, a retry after a failure.");
  for (std::size_t i = 0; i < looks.size(); ++i) {
    Sample(text,
           QByteArray("skyloom_store_looks_total{cause=\"") +
               LookCauseName(static_cast<LookCause>(i)) + "\"}",
           looks[i]);
  }

  Family(text, "skyloom_build_info", "gauge", "The running version; always 1.");
  Sample(text, "skyloom_build_info{version=\"" + LabelValue(VersionText()) + "\"}", 1);
  return text;
}

}  // namespace skyloom

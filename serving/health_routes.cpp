// GET /health and GET /metrics, and the health report they and the status page share.
#include <algorithm>

#include "http/query.h"
#include "platform/clock.h"
#include "serving/api_routes.h"
#include "serving/forecast_events.h"
#include "serving/json_rows.h"
#include "serving/metrics.h"

namespace skyloom {
namespace {

constexpr char kPrometheus[] = "text/plain; version=0.0.4";

}  // namespace

HealthReport ApiRoutes::HealthOf(const StoreExpected<std::vector<AttemptRow>>& attempts,
                                 const QDateTime& now) const {
  HealthReport report = attempts ? AssessHealth(*attempts, schedule_, now)
                                 : UnreadableLog(Unreadable(attempts.error()));
  const GroupStanding standing = standing_.Get();
  report.role = standing.role;
  report.turnTaken = standing.turnTaken;
  report.takeovers = standing.takeovers;
  report.servers = PgLinkStates();
  if (const auto outbox = metrics_.Outbox()) {
    report.deliveriesPending = outbox->pending;
    report.deliveriesGivenUp = outbox->givenUp;
    if (outbox->oldestPending) {
      report.oldestPendingSeconds =
          std::max<qint64>(0, now.toSecsSinceEpoch() - *outbox->oldestPending);
    }
  }
  return report;
}

HealthReport ApiRoutes::ReadHealth(ForecastStore& store) const {
  return HealthOf(store.NewestAttempts(kHealthAttempts), clock_.Now());
}

// Health is the kept log judged at the time asked: it changes with the clock alone too.
void ApiRoutes::Health(const HttpRequest& request, const HttpReply& reply) {
  if (auto error = ReadQuery(request.query, {})) return reply(Fail(400, *error));
  const auto answer = [](const HealthReport& report) {
    return Make(report.Healthy() ? 200 : 503, kJson, HealthJson(report).toStdString());
  };
  if (const auto served = Current()) {
    return reply(answer(HealthOf(served->record->attempts, clock_.Now())));
  }
  Read(reply, [this, answer](ForecastStore& store) { return answer(ReadHealth(store)); });
}

void ApiRoutes::MetricsText(const HttpRequest& request, const HttpReply& reply) {
  if (auto error = ReadQuery(request.query, {})) return reply(Fail(400, *error));
  const auto answer = [this](const HealthReport& report) {
    return Make(200, kPrometheus,
                metrics_.PrometheusText(report, events_.Counts(), watcher_.Looks()).toStdString());
  };
  if (const auto served = Current()) {
    return reply(answer(HealthOf(served->record->attempts, clock_.Now())));
  }
  Read(reply, [this, answer](ForecastStore& store) { return answer(ReadHealth(store)); });
}

}  // namespace skyloom

#include "serving/api_routes.h"

#include <QCryptographicHash>
#include <algorithm>
#include <string_view>
#include <utility>

#include "platform/clock.h"
#include "platform/problem_log.h"
#include "serving/forecast_events.h"
#include "serving/json_rows.h"
#include "serving/store_readers.h"

namespace skyloom {
namespace {

// Nothing on the page runs but its own script, and nothing it loads comes from elsewhere.
constexpr char kPagePolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

}  // namespace

ServerAnswer Make(int status, const char* contentType, std::string body) {
  ServerAnswer answer{status, {}, contentType, std::move(body)};
  answer.AddHeader("Access-Control-Allow-Origin", "*");
  answer.AddHeader("Access-Control-Expose-Headers", "ETag");
  return answer;
}

ServerAnswer Fail(int status, const QString& message) {
  return Make(status, kJson, ErrorJson(message).toStdString());
}

QString Unreadable(const StoreError& error) {
  ReportProblem(QStringLiteral("the API cannot read the database: %1").arg(error.message));
  return QStringLiteral("the database cannot be read; the program's log says why");
}

ServerAnswer PageAnswer(const PageFile& file) {
  ServerAnswer answer = Make(200, file.contentType, file.body);
  answer.AddHeader("Content-Security-Policy", kPagePolicy);
  answer.AddHeader("X-Content-Type-Options", "nosniff");
  answer.AddHeader("Cache-Control", "no-cache");
  return answer;
}

ApiRoutes::ApiRoutes(const Metrics& metrics, const SharedStanding& standing, StoreReaders& readers,
                     ForecastEvents& events, const StoreWatcher& watcher, const Clock& clock,
                     SyncWindows schedule)
    : metrics_(metrics),
      standing_(standing),
      readers_(readers),
      events_(events),
      watcher_(watcher),
      clock_(clock),
      schedule_(std::move(schedule)) {
  const std::string described = BuiltIn(":/openapi.json");
  const QByteArray hash =
      QCryptographicHash::hash(QByteArray::fromStdString(described), QCryptographicHash::Sha256);
  descriptionTag_ = '"' + hash.toHex().left(16).toStdString() + '"';
  description_ = Make(200, kJson, described);
  description_.AddHeader("Cache-Control", "no-cache");
}

void ApiRoutes::Answer(const HttpRequest& request, const HttpReply& reply) {
  static constexpr std::pair<std::string_view, Route> kRoutes[] = {
      {"/forecast", &ApiRoutes::Forecast},
      {"/forecasts", &ApiRoutes::Forecasts},
      {"/attempts", &ApiRoutes::Attempts},
      {"/health", &ApiRoutes::Health},
      {"/metrics", &ApiRoutes::MetricsText},
      {"/", &ApiRoutes::Page},
      {"/page/status.css", &ApiRoutes::PageAsset},
      {"/page/status.js", &ApiRoutes::PageAsset},
      {"/page/icon.svg", &ApiRoutes::PageAsset},
      {"/page/status.json", &ApiRoutes::PageStatus},
      {"/events", &ApiRoutes::Events},
      {"/feed.atom", &ApiRoutes::Feed},
      {"/openapi.json", &ApiRoutes::Description}};
  const auto route = std::find_if(std::begin(kRoutes), std::end(kRoutes),
                                  [&request](const auto& r) { return r.first == request.path; });
  if (route == std::end(kRoutes)) return reply(Fail(404, QStringLiteral("no such resource")));
  if (request.method == "OPTIONS") {
    ServerAnswer answer = Make(204, "", {});
    answer.AddHeader("Access-Control-Allow-Methods", "GET, HEAD");
    answer.AddHeader("Access-Control-Allow-Headers", "If-None-Match");
    answer.AddHeader("Access-Control-Max-Age", "86400");
    answer.AddHeader("Allow", "GET, HEAD, OPTIONS");
    return reply(std::move(answer));
  }
  if (request.method != "GET" && request.method != "HEAD") {
    ServerAnswer answer = Fail(405, QStringLiteral("only GET and HEAD are served"));
    answer.AddHeader("Allow", "GET, HEAD, OPTIONS");
    return reply(std::move(answer));
  }
  (this->*route->second)(request, reply);
}

std::shared_ptr<ApiRoutes::Served> ApiRoutes::Current() const {
  const std::lock_guard lock(servedMutex_);
  return served_;
}

void ApiRoutes::Heard(const std::shared_ptr<const KeptRecord>& record, bool forecastsChanged,
                      bool /*logChanged*/) {
  const std::shared_ptr<Served> before = Current();
  if (!before || before->record != record) {
    auto served = std::make_shared<Served>();
    served->record = record;
    const bool sameForecasts =
        before && before->record->forecastsVersion == record->forecastsVersion;
    const bool sameLog = before && before->record->logVersion == record->logVersion;
    if (sameForecasts) {
      served->forecast = before->forecast;
      const std::lock_guard lock(before->mutex);
      served->forecastPages = before->forecastPages;
      served->feed = before->feed;
    } else {
      served->forecast = ForecastOf(record->forecasts);
    }
    if (sameLog) {
      const std::lock_guard lock(before->mutex);
      served->attemptPages = before->attemptPages;
    }
    const std::lock_guard lock(servedMutex_);
    served_ = std::move(served);
  }
  // The streams and the waiting requests hear of it after the answers have it.
  if (forecastsChanged) {
    events_.Publish(record->forecasts
                        ? std::shared_ptr<const ForecastEvents::Rows>(record, &*record->forecasts)
                        : nullptr,
                    record->AllForecasts());
  }
  // Health changes with the log, and with the time alone (a collector that stalls).
  if (events_.Counts().streams > 0) {
    events_.PublishHealth(HealthJson(HealthOf(record->attempts, clock_.Now())));
  }
}

bool ApiRoutes::Read(const HttpReply& reply, std::function<ServerAnswer(ForecastStore&)> read) {
  if (readers_.Submit(
          [reply, read = std::move(read)](ForecastStore& store) { reply(read(store)); })) {
    return true;
  }
  ServerAnswer busy = Fail(503, QStringLiteral("the server is busy; try again in a moment"));
  busy.AddHeader("Retry-After", "1");
  reply(std::move(busy));
  return false;
}

}  // namespace skyloom

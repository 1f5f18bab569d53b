// GET /forecast, with its long poll, and GET /forecasts.
#include <algorithm>
#include <limits>

#include "http/conditional_get.h"
#include "http/query.h"
#include "serving/api_routes.h"
#include "serving/forecast_events.h"
#include "serving/json_rows.h"
#include "serving/store_readers.h"

namespace skyloom {
namespace {

// How long a GET /forecast may wait, in seconds.
constexpr qint64 kMaxWait = 300;

std::string Tag(qint64 id) { return '"' + std::to_string(id) + '"'; }

ServerAnswer ForecastOk(const ForecastRow& row) {
  ServerAnswer answer = Make(200, kJson, ForecastJson(row).toStdString());
  answer.AddHeader("Cache-Control", "no-cache");
  return answer;
}

// The newest id the client says it has, weak tags included; nothing when no tag is an id.
std::optional<qint64> TaggedId(const IfNoneMatch& condition) {
  std::optional<qint64> newest;
  for (const std::string_view tag : condition.Tags()) {
    if (tag.size() < 2 || !tag.starts_with('"') || !tag.ends_with('"')) continue;
    if (const auto id = Digits(tag.substr(1, tag.size() - 2))) {
      newest = std::max(newest.value_or(0), *id);
    }
  }
  return newest;
}

ServerAnswer ForecastsPage(const StoreExpected<std::vector<ForecastRow>>& rows, std::size_t most) {
  if (!rows) return Fail(503, Unreadable(rows.error()));
  if (rows->size() <= most) return Make(200, kJson, ForecastsJson(*rows).toStdString());
  return Make(
      200, kJson,
      ForecastsJson(std::vector<ForecastRow>(rows->begin(), rows->begin() + most)).toStdString());
}

}  // namespace

void ApiRoutes::Forecast(const HttpRequest& request, const HttpReply& reply) {
  QueryParameter parameters[] = {{"after", 0, std::numeric_limits<qint64>::max(), 0},
                                 {"wait", 1, kMaxWait, 0}};
  if (auto error = ReadQuery(request.query, parameters)) return reply(Fail(400, *error));
  IfNoneMatch condition(request.headers);
  const std::optional<qint64> after = parameters[0].Given();
  if (const auto known = after ? after : TaggedId(condition); known && parameters[1].given) {
    return WaitForNewer(*known, parameters[1].value, reply);
  }
  const auto respond = [condition = std::move(condition), after](const ForecastAnswer& forecast) {
    if (forecast.tag.empty()) return forecast.answer;
    return Tagged(forecast.answer, forecast.tag,
                  (after && forecast.id <= *after) || condition.Matches(forecast.tag));
  };
  if (const auto served = Current()) return reply(respond(*served->forecast));
  Read(reply, [respond](ForecastStore& store) {
    return respond(*ForecastOf(store.NewestForecasts(1, 0)));
  });
}

// The wait is a timer on the server's loop and an entry in the events: no thread is held.
void ApiRoutes::WaitForNewer(qint64 after, qint64 seconds, const HttpReply& reply) {
  const ForecastEvents::Token token =
      events_.Wait(after, [reply](const std::optional<ForecastRow>& newest, bool newer) {
        if (newer) return reply(Tagged(ForecastOk(*newest), Tag(newest->id), false));
        ServerAnswer answer = Make(304, "", {});
        answer.AddHeader("Cache-Control", "no-cache");
        reply(newest ? Tagged(std::move(answer), Tag(newest->id), true) : std::move(answer));
      });
  if (token == 0) return;
  reply.After(std::chrono::seconds(seconds), [events = &events_, token] { events->Expire(token); });
}

std::shared_ptr<const ApiRoutes::ForecastAnswer> ApiRoutes::ForecastOf(
    const StoreExpected<std::vector<ForecastRow>>& newestFirst) {
  auto forecast = std::make_shared<ForecastAnswer>();
  if (!newestFirst) {
    forecast->answer = Fail(503, Unreadable(newestFirst.error()));
  } else if (newestFirst->empty()) {
    forecast->answer = Fail(404, QStringLiteral("no forecast has been stored yet"));
  } else {
    forecast->answer = ForecastOk(newestFirst->front());
    forecast->tag = Tag(newestFirst->front().id);
    forecast->id = newestFirst->front().id;
  }
  if (forecast->tag.empty()) forecast->answer.AddHeader("Cache-Control", "no-cache");
  return forecast;
}

void ApiRoutes::Forecasts(const HttpRequest& request, const HttpReply& reply) {
  QueryParameter parameters[] = {{"limit", 1, kMaxLimit, kDefaultLimit},
                                 {"before", 1, std::numeric_limits<qint64>::max(), 0}};
  if (auto error = ReadQuery(request.query, parameters)) return reply(Fail(400, *error));
  const auto limit = static_cast<int>(parameters[0].value);
  const qint64 before = parameters[1].value;
  // The first page, when the record in memory holds it whole.
  if (const auto served = Current(); served && before == 0) {
    const KeptRecord& record = *served->record;
    if (!record.forecasts || record.AllForecasts() ||
        record.forecasts->size() >= static_cast<std::size_t>(limit)) {
      return reply(*Once(*served, served->forecastPages, limit, [&] {
        return ForecastsPage(record.forecasts, static_cast<std::size_t>(limit));
      }));
    }
  }
  Read(reply, [limit, before](ForecastStore& store) {
    return ForecastsPage(store.NewestForecasts(limit, before), static_cast<std::size_t>(limit));
  });
}

}  // namespace skyloom

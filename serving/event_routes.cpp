// GET /events, the stream of new forecasts and changes of health, and GET /feed.atom.
#include <limits>

#include "http/conditional_get.h"
#include "http/header_fields.h"
#include "http/query.h"
#include "serving/api_routes.h"
#include "serving/atom_feed.h"
#include "serving/forecast_events.h"
#include "serving/json_rows.h"
#include "serving/store_readers.h"

namespace skyloom {
namespace {

// What a resumed stream may have missed.
constexpr int kResumeMost = 100;
constexpr int kFeedEntries = 20;
// Health is read for the streams at most this often: it reads weeks of the log.
constexpr auto kHealthEvery = std::chrono::seconds(5);
constexpr char kEventStream[] = "text/event-stream; charset=utf-8";
constexpr char kAtom[] = "application/atom+xml; charset=utf-8";

}  // namespace

void ApiRoutes::Events(const HttpRequest& request, const HttpReply& reply) {
  QueryParameter parameters[] = {{"after", 0, std::numeric_limits<qint64>::max(), 0}};
  if (auto error = ReadQuery(request.query, parameters)) return reply(Fail(400, *error));
  std::optional<qint64> after = parameters[0].Given();
  // A browser sends back whatever id it last saw: anything else counts as none.
  for (const std::string_view value : HeaderValues(request.headers, "Last-Event-ID")) {
    if (!after) after = Digits(value);
  }
  if (request.method == "HEAD") return reply(Make(200, kEventStream, {}));
  const ForecastEvents::Token token = events_.Reserve();
  if (token == 0) {
    ServerAnswer busy = Fail(503, QStringLiteral("too many event streams; try again later"));
    busy.AddHeader("Retry-After", "5");
    return reply(std::move(busy));
  }
  ServerAnswer head = Make(200, kEventStream, {});
  head.AddHeader("Cache-Control", "no-cache");
  head.AddHeader("X-Accel-Buffering", "no");  // nginx would hold the events back
  const HttpStream stream =
      reply.Stream(std::move(head), StreamLimits{.idleText = ": keep-alive\n\n"},
                   [events = &events_, token] { events->Leave(token); });
  stream.Send("retry: 5000\n\n");
  events_.Attach(token, stream, after.value_or(0));
  const bool queued = readers_.Submit([this, token, after](ForecastStore& store) {
    const auto rows = store.NewestForecasts(after ? kResumeMost : 1, 0);
    std::vector<ForecastRow> missed;
    if (rows) {
      for (auto row = rows->rbegin(); row != rows->rend(); ++row) {
        if (!after || row->id > *after) missed.push_back(*row);
      }
    }
    events_.Ready(token, missed);
  });
  if (!queued) stream.End();  // the client tries again after its retry time
}

void ApiRoutes::Heard(const std::vector<ForecastRow>& fresh, ForecastStore& store) {
  if (!fresh.empty()) events_.Publish(fresh);
  const auto now = std::chrono::steady_clock::now();
  if (events_.Counts().streams > 0 && now - healthRead_ >= kHealthEvery) {
    healthRead_ = now;
    events_.PublishHealth(HealthJson(ReadHealth(store)));
  }
}

void ApiRoutes::Feed(const HttpRequest& request, const HttpReply& reply) {
  if (auto error = ReadQuery(request.query, {})) return reply(Fail(400, *error));
  Read(reply, [condition = IfNoneMatch(request.headers)](ForecastStore& store) {
    const auto rows = store.NewestForecasts(kFeedEntries, 0);
    if (!rows) return Fail(503, Unreadable(rows.error()));
    const std::string tag = '"' + std::to_string(rows->empty() ? 0 : rows->front().id) + '"';
    // XML in a browser may run script of its own: the page's rules hold for it too.
    return Tagged(PageAnswer(PageFile{kAtom, AtomFeed(*rows).toStdString()}), tag,
                  condition.Matches(tag));
  });
}

}  // namespace skyloom

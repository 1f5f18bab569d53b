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
#include "store/forecast_event.h"

namespace skyloom {
namespace {

constexpr std::size_t kFeedEntries = 20;
constexpr char kEventStream[] = "text/event-stream; charset=utf-8";
constexpr char kAtom[] = "application/atom+xml; charset=utf-8";

// A stream's place among the events until the stream is joined: let go should its read never
// run (the readers stopped first).
struct Reservation {
  Reservation(ForecastEvents& events, ForecastEvents::Token token) : events(events), token(token) {}
  ~Reservation() {
    if (!joined) events.Leave(token);
  }
  Q_DISABLE_COPY_MOVE(Reservation)
  ForecastEvents& events;
  const ForecastEvents::Token token;
  bool joined = false;
};

}  // namespace

void ApiRoutes::Events(const HttpRequest& request, const HttpReply& reply) {
  QueryParameter parameters[] = {{"after", 0, std::numeric_limits<qint64>::max(), 0}};
  if (auto error = ReadQuery(request.query, parameters)) return reply(Fail(400, *error));
  std::optional<qint64> after = parameters[0].Given();
  // A browser sends back whatever id it last saw: anything else counts as none.
  for (const std::string_view value : HeaderValues(request.headers, "Last-Event-ID")) {
    if (!after) after = Digits(value);
  }
  ServerAnswer head = Make(200, kEventStream, {});
  head.AddHeader("Cache-Control", "no-cache");
  head.AddHeader("X-Accel-Buffering", "no");  // nginx would hold the events back
  if (request.method == "HEAD") return reply(std::move(head));
  const ForecastEvents::Token token = events_.Reserve();
  const auto busy = [&reply](const char* why, const char* retry) {
    ServerAnswer answer = Fail(503, QString::fromLatin1(why));
    answer.AddHeader("Retry-After", retry);
    reply(std::move(answer));
  };
  if (token == 0) return busy("too many event streams; try again later", "5");
  // Sends the head and joins the stream, with the rows read for it if any.
  const auto open = [this, token, after](const HttpReply& reply, ServerAnswer head,
                                         const std::optional<ForecastEvents::Rows>& read) {
    const HttpStream stream =
        reply.Stream(std::move(head), StreamLimits{.idleText = ": keep-alive\n\n"},
                     [events = &events_, token] { events->Leave(token); });
    stream.Send("retry: 5000\n\n");
    events_.Join(token, stream, after, read);
  };
  // What it missed is in memory: the newest forecast, or as many as a resumed stream gets.
  if (events_.Knows(after)) return open(reply, std::move(head), std::nullopt);
  // Otherwise it is read before anything is answered, so that a stream that cannot be served
  // is told so now rather than answered and dropped.
  auto reserved = std::make_shared<Reservation>(events_, token);
  const bool queued =
      readers_.Submit([reply, head, after, reserved, open](ForecastStore& store) mutable {
        const auto rows =
            store.NewestForecasts(after ? static_cast<int>(ForecastEvents::kResumeMost) : 1, 0);
        std::optional<ForecastEvents::Rows> missed;
        if (rows) {
          missed.emplace();
          for (const ForecastRow& row : *rows) {
            if (!after || row.id > *after) missed->push_back(row);
          }
        }
        reserved->joined = true;
        open(reply, std::move(head), missed);
      });
  if (!queued) {
    reserved.reset();
    busy("the server is busy; try again in a moment", "1");
  }
}

void ApiRoutes::Feed(const HttpRequest& request, const HttpReply& reply) {
  if (auto error = ReadQuery(request.query, {})) return reply(Fail(400, *error));
  const auto respond = [condition = IfNoneMatch(request.headers)](const ForecastAnswer& feed) {
    if (feed.tag.empty()) return feed.answer;
    return Tagged(feed.answer, feed.tag, condition.Matches(feed.tag));
  };
  if (const auto served = Current()) {
    const KeptRecord& record = *served->record;
    if (!record.forecasts || record.AllForecasts() || record.forecasts->size() >= kFeedEntries) {
      std::shared_ptr<const ForecastAnswer> feed;
      {
        const std::lock_guard lock(served->mutex);
        if (!served->feed) served->feed = FeedOf(record.forecasts);
        feed = served->feed;
      }
      return reply(respond(*feed));
    }
  }
  Read(reply, [respond](ForecastStore& store) {
    return respond(*FeedOf(store.NewestForecasts(static_cast<int>(kFeedEntries), 0)));
  });
}

std::shared_ptr<const ApiRoutes::ForecastAnswer> ApiRoutes::FeedOf(
    const StoreExpected<std::vector<ForecastRow>>& newestFirst) {
  auto feed = std::make_shared<ForecastAnswer>();
  if (!newestFirst) {
    feed->answer = Fail(503, Unreadable(newestFirst.error()));
    return feed;
  }
  std::vector<Event> entries;
  for (std::size_t i = 0; i < std::min(newestFirst->size(), kFeedEntries); ++i) {
    entries.push_back(EventFromForecast((*newestFirst)[i]));
  }
  feed->id = entries.empty() ? 0 : entries.front().forecastId;
  feed->tag = '"' + std::to_string(feed->id) + '"';
  // XML in a browser may run script of its own: the page's rules hold for it too.
  feed->answer = PageAnswer(PageFile{kAtom, AtomFeed(entries).toStdString()});
  return feed;
}

}  // namespace skyloom

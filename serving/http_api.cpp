#include "serving/http_api.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <limits>
#include <mutex>
#include <span>
#include <string_view>
#include <vector>

#include "http/listen_address.h"
#include "platform/clock.h"
#include "platform/problem_log.h"
#include "serving/atom_feed.h"
#include "serving/forecast_events.h"
#include "serving/health.h"
#include "serving/json_rows.h"
#include "serving/metrics.h"
#include "serving/status_page.h"
#include "serving/store_readers.h"
#include "serving/store_watcher.h"
#include "store/forecast_store.h"

namespace skyloom {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr char kJson[] = "application/json";
constexpr char kPrometheus[] = "text/plain; version=0.0.4";
// A forecast another program writes shows within this.
constexpr auto kForecastLifetime = std::chrono::seconds(1);
// Past this age a request renews the copy in the background.
constexpr auto kForecastRenewal = std::chrono::milliseconds(500);
constexpr qint64 kDefaultLimit = 20;
constexpr qint64 kMaxLimit = 1000;
// How far back GET /health looks for the last success: weeks of timed fetches.
constexpr int kHealthAttempts = 1000;
// The status page's log: a screenful of the newest attempts.
constexpr std::size_t kPageAttempts = 20;
// The status page's chart reads the forecasts of the pictured days this many at a time, and at
// most this many in all: beyond that a day of endless changes loses the chart its oldest days.
constexpr int kChartPage = 100;
constexpr std::size_t kChartForecasts = 1000;
// Nothing on the page runs but its own script, and nothing it loads comes from elsewhere.
constexpr char kPagePolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
// Reads at once, and waiting: beyond those a request is told the server is busy.
constexpr int kReaders = 4;
constexpr std::size_t kQueuedReads = 256;
// Streams are connections too; these leave room for every other request.
constexpr std::size_t kMaxStreams = 512;
// What a resumed stream may have missed, and how long a GET /forecast may wait, in seconds.
constexpr int kResumeMost = 100;
constexpr qint64 kMaxWait = 300;
constexpr int kFeedEntries = 20;
// Health is read for the streams at most this often: it reads weeks of the log.
constexpr auto kHealthEvery = std::chrono::seconds(5);
constexpr char kEventStream[] = "text/event-stream; charset=utf-8";
constexpr char kAtom[] = "application/atom+xml; charset=utf-8";

// Clients see this; the store's own message, which may name a server and its user, goes to
// standard error.
QString Unreadable(const StoreError& error) {
  ReportProblem(QStringLiteral("the API cannot read the database: %1").arg(error.message));
  return QStringLiteral("the database cannot be read; the program's log says why");
}

// Digits only: no sign, no blanks, nothing beyond qint64.
std::optional<qint64> Digits(std::string_view text) {
  if (text.empty() ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  qint64 value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// %XX escapes undone; nothing for a broken one.
std::optional<std::string> Unescape(std::string_view text) {
  std::string plain;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      plain += text[i];
      continue;
    }
    const int high = i + 2 < text.size() ? HexDigit(text[i + 1]) : -1;
    const int low = high >= 0 ? HexDigit(text[i + 2]) : -1;
    if (low < 0) return std::nullopt;
    plain += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return plain;
}

struct Parameter {
  const char* name;
  qint64 lowest;
  qint64 highest;
  qint64 value;  // the default until read
  bool given = false;
};

// Reads NAME=VALUE&… into `parameters`. Anything else is an error, so that a misspelt or
// garbled parameter is never silently ignored or half read.
std::optional<QString> ReadQuery(std::string_view query, std::span<Parameter> parameters) {
  for (bool more = !query.empty(); more;) {
    const std::size_t amp = query.find('&');
    const std::string_view item = query.substr(0, amp);
    more = amp != std::string_view::npos;
    if (more) query.remove_prefix(amp + 1);
    const std::size_t equals = item.find('=');
    if (item.empty() || equals == std::string_view::npos ||
        item.find('=', equals + 1) != std::string_view::npos) {
      return QStringLiteral("each query parameter must be NAME=VALUE, joined by &");
    }
    const std::optional<std::string> name = Unescape(item.substr(0, equals));
    const std::optional<std::string> text = Unescape(item.substr(equals + 1));
    if (!name || !text) return QStringLiteral("the query holds a broken %-escape");
    const QString shown = QString::fromUtf8(*name);
    const auto parameter = std::find_if(parameters.begin(), parameters.end(),
                                        [&name](const Parameter& p) { return *name == p.name; });
    if (parameter == parameters.end()) {
      return QStringLiteral("unknown query parameter \"%1\"").arg(shown);
    }
    if (parameter->given) return QStringLiteral("\"%1\" is given more than once").arg(shown);
    const std::optional<qint64> number = Digits(*text);
    if (!number || *number < parameter->lowest || *number > parameter->highest) {
      return QStringLiteral("\"%1\" must be a whole number from %2 to %3")
          .arg(shown)
          .arg(parameter->lowest)
          .arg(parameter->highest);
    }
    parameter->value = *number;
    parameter->given = true;
  }
  return std::nullopt;
}

// Newest first: the forecasts stored from `from` on, and always the newest page.
StoreExpected<std::vector<ForecastRow>> ForecastsSince(ForecastStore& store, const QString& from) {
  std::vector<ForecastRow> rows;
  while (rows.size() < kChartForecasts) {
    auto page = store.NewestForecasts(kChartPage, rows.empty() ? 0 : rows.back().id);
    if (!page) return std::unexpected(page.error());
    rows.insert(rows.end(), page->begin(), page->end());
    if (page->size() < static_cast<std::size_t>(kChartPage) || rows.back().logtime < from) break;
  }
  return rows;
}

// If-None-Match holds one tag, a list of them or "*"; a weak tag matches as well.
bool Matches(std::string_view header, std::string_view tag) {
  while (!header.empty()) {
    const std::size_t comma = header.find(',');
    std::string_view item = header.substr(0, comma);
    header = comma == std::string_view::npos ? std::string_view() : header.substr(comma + 1);
    while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
    while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
    if (item.starts_with("W/")) item.remove_prefix(2);
    if (item == "*" || item == tag) return true;
  }
  return false;
}

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// Every answer may be read by a page of any origin, ETag included.
HttpAnswer Make(int status, const char* contentType, std::string body) {
  HttpAnswer answer{status, {}, contentType, std::move(body)};
  answer.AddHeader("Access-Control-Allow-Origin", "*");
  answer.AddHeader("Access-Control-Expose-Headers", "ETag");
  return answer;
}

HttpAnswer Fail(int status, const QString& message) {
  return Make(status, kJson, ErrorJson(message).toStdString());
}

HttpAnswer PageAnswer(const PageFile& file) {
  HttpAnswer answer = Make(200, file.contentType, file.body);
  answer.AddHeader("Content-Security-Policy", kPagePolicy);
  answer.AddHeader("X-Content-Type-Options", "nosniff");
  answer.AddHeader("Cache-Control", "no-cache");
  return answer;
}

std::string Tag(qint64 id) { return '"' + std::to_string(id) + '"'; }

HttpAnswer ForecastOk(const ForecastRow& row) {
  HttpAnswer answer = Make(200, kJson, ForecastJson(row).toStdString());
  answer.AddHeader("ETag", Tag(row.id));
  answer.AddHeader("Cache-Control", "no-cache");
  return answer;
}

// The newest id an If-None-Match line names, weak tags included; nothing when none is an id.
std::optional<qint64> TaggedId(const std::vector<std::string>& conditions) {
  std::optional<qint64> newest;
  for (const std::string& condition : conditions) {
    std::string_view header = condition;
    while (!header.empty()) {
      const std::size_t comma = header.find(',');
      std::string_view item = header.substr(0, comma);
      header = comma == std::string_view::npos ? std::string_view() : header.substr(comma + 1);
      while (item.starts_with(' ') || item.starts_with('\t')) item.remove_prefix(1);
      while (item.ends_with(' ') || item.ends_with('\t')) item.remove_suffix(1);
      if (item.starts_with("W/")) item.remove_prefix(2);
      if (item.size() < 2 || item.front() != '"' || item.back() != '"') continue;
      if (const auto id = Digits(item.substr(1, item.size() - 2))) {
        newest = std::max(newest.value_or(0), *id);
      }
    }
  }
  return newest;
}

// The answer to GET /forecast, kept for a moment so that most requests skip the database.
struct ForecastAnswer {
  HttpAnswer answer;
  std::string tag;  // ETag; empty without a forecast
  qint64 id = 0;
  SteadyClock::time_point made;
};

}  // namespace

class HttpApi::Routes final {
 public:
  Routes(const Metrics& metrics, const HttpApi::Standing& role, StoreReaders& readers,
         ForecastEvents& events, const Clock& clock, SyncWindows schedule)
      : metrics_(metrics),
        role_(role),
        readers_(readers),
        events_(events),
        clock_(clock),
        schedule_(std::move(schedule)) {}

  void Answer(const HttpRequest& request, const HttpReply& reply);
  // What is new in the store, for the streams and the waiting requests; on the watcher's thread.
  void Look(ForecastStore& store);

 private:
  using Route = void (Routes::*)(const HttpRequest&, std::string_view, const HttpReply&);

  void Forecast(const HttpRequest& request, std::string_view, const HttpReply& reply);
  void Forecasts(const HttpRequest& request, std::string_view, const HttpReply& reply);
  void Attempts(const HttpRequest& request, std::string_view, const HttpReply& reply);
  void Health(const HttpRequest& request, std::string_view, const HttpReply& reply);
  void MetricsText(const HttpRequest& request, std::string_view, const HttpReply& reply);
  void Page(const HttpRequest& request, std::string_view, const HttpReply& reply);
  void PageAsset(const HttpRequest& request, std::string_view, const HttpReply& reply);
  void PageStatus(const HttpRequest& request, std::string_view, const HttpReply& reply);
  void Events(const HttpRequest& request, std::string_view, const HttpReply& reply);
  void Feed(const HttpRequest& request, std::string_view, const HttpReply& reply);
  void WaitForNewer(qint64 after, qint64 seconds, const HttpReply& reply);

  // Answers with `read` on a reader thread; false, and answered, when none can take it.
  bool Read(const HttpReply& reply, std::function<HttpAnswer(ForecastStore&)> read);
  std::shared_ptr<const ForecastAnswer> Cached();
  std::shared_ptr<const ForecastAnswer> ReadForecast(ForecastStore& store);
  // The health `attempts` (newest first) give at `now`, as this collector's role sees it.
  HealthReport HealthOf(const StoreExpected<std::vector<AttemptRow>>& attempts,
                        const QDateTime& now) const;
  HealthReport ReadHealth(ForecastStore& store) const;

  const Metrics& metrics_;
  const HttpApi::Standing& role_;
  StoreReaders& readers_;
  ForecastEvents& events_;
  const Clock& clock_;
  const SyncWindows schedule_;
  const StatusPage page_;
  SteadyClock::time_point healthRead_;  // by Look
  std::mutex cacheMutex_;
  std::shared_ptr<const ForecastAnswer> cached_;
  std::atomic<bool> refreshing_{false};
};

void HttpApi::Routes::Answer(const HttpRequest& request, const HttpReply& reply) {
  static constexpr std::pair<std::string_view, Route> kRoutes[] = {
      {"/forecast", &Routes::Forecast},
      {"/forecasts", &Routes::Forecasts},
      {"/attempts", &Routes::Attempts},
      {"/health", &Routes::Health},
      {"/metrics", &Routes::MetricsText},
      {"/", &Routes::Page},
      {"/page/status.css", &Routes::PageAsset},
      {"/page/status.js", &Routes::PageAsset},
      {"/page/icon.svg", &Routes::PageAsset},
      {"/page/status.json", &Routes::PageStatus},
      {"/events", &Routes::Events},
      {"/feed.atom", &Routes::Feed}};
  const auto route = std::find_if(std::begin(kRoutes), std::end(kRoutes),
                                  [&request](const auto& r) { return r.first == request.path; });
  if (route == std::end(kRoutes)) return reply(Fail(404, QStringLiteral("no such resource")));
  if (request.method == "OPTIONS") {
    HttpAnswer answer = Make(204, "", {});
    answer.AddHeader("Access-Control-Allow-Methods", "GET, HEAD");
    answer.AddHeader("Access-Control-Allow-Headers", "If-None-Match");
    answer.AddHeader("Access-Control-Max-Age", "86400");
    answer.AddHeader("Allow", "GET, HEAD, OPTIONS");
    return reply(std::move(answer));
  }
  if (request.method != "GET" && request.method != "HEAD") {
    HttpAnswer answer = Fail(405, QStringLiteral("only GET and HEAD are served"));
    answer.AddHeader("Allow", "GET, HEAD, OPTIONS");
    return reply(std::move(answer));
  }
  (this->*route->second)(request, request.query, reply);
}

bool HttpApi::Routes::Read(const HttpReply& reply, std::function<HttpAnswer(ForecastStore&)> read) {
  if (readers_.Submit(
          [reply, read = std::move(read)](ForecastStore& store) { reply(read(store)); })) {
    return true;
  }
  HttpAnswer busy = Fail(503, QStringLiteral("the server is busy; try again in a moment"));
  busy.AddHeader("Retry-After", "1");
  reply(std::move(busy));
  return false;
}

void HttpApi::Routes::Forecast(const HttpRequest& request, std::string_view query,
                               const HttpReply& reply) {
  Parameter parameters[] = {{"after", 0, std::numeric_limits<qint64>::max(), 0},
                            {"wait", 1, kMaxWait, 0}};
  if (auto error = ReadQuery(query, parameters)) return reply(Fail(400, *error));
  std::vector<std::string> conditions;
  for (const HttpHeader& header : request.headers) {
    if (SameName(header.name, "If-None-Match")) conditions.emplace_back(header.value);
  }
  const std::optional<qint64> after =
      parameters[0].given ? std::optional(parameters[0].value) : TaggedId(conditions);
  if (parameters[1].given && after) return WaitForNewer(*after, parameters[1].value, reply);
  const auto respond =
      [conditions = std::move(conditions),
       after = parameters[0].given ? after : std::nullopt](const ForecastAnswer& forecast) {
        HttpAnswer answer = forecast.answer;
        if (!forecast.tag.empty() &&
            ((after && forecast.id <= *after) ||
             std::any_of(conditions.begin(), conditions.end(),
                         [&](const std::string& c) { return Matches(c, forecast.tag); }))) {
          answer.status = 304;
        }
        return answer;
      };
  const std::shared_ptr<const ForecastAnswer> cached = Cached();
  if (cached && SteadyClock::now() - cached->made < kForecastLifetime) {
    // Renewed in the background before it ages out, so that while requests keep coming none
    // of them waits for a reader.
    if (SteadyClock::now() - cached->made >= kForecastRenewal && !refreshing_.exchange(true) &&
        !readers_.Submit([this](ForecastStore& store) {
          ReadForecast(store);
          refreshing_ = false;
        })) {
      refreshing_ = false;
    }
    return reply(respond(*cached));
  }
  // One request reads the database; the others answer from the old copy meanwhile.
  if (!refreshing_.exchange(true)) {
    if (!Read(reply, [this, respond](ForecastStore& store) {
          const auto fresh = ReadForecast(store);
          refreshing_ = false;
          return respond(*fresh);
        })) {
      refreshing_ = false;
    }
    return;
  }
  if (cached) return reply(respond(*cached));
  Read(reply, [this, respond](ForecastStore& store) { return respond(*ReadForecast(store)); });
}

// The wait is a timer on the server's loop and an entry in the events: no thread is held.
void HttpApi::Routes::WaitForNewer(qint64 after, qint64 seconds, const HttpReply& reply) {
  const ForecastEvents::Token token =
      events_.Wait(after, [reply](const std::optional<ForecastRow>& newest, bool newer) {
        if (newer) return reply(ForecastOk(*newest));
        HttpAnswer answer = Make(304, "", {});
        if (newest) answer.AddHeader("ETag", Tag(newest->id));
        answer.AddHeader("Cache-Control", "no-cache");
        reply(std::move(answer));
      });
  if (token == 0) return;
  reply.After(std::chrono::seconds(seconds), [events = &events_, token] { events->Expire(token); });
}

void HttpApi::Routes::Events(const HttpRequest& request, std::string_view query,
                             const HttpReply& reply) {
  Parameter parameters[] = {{"after", 0, std::numeric_limits<qint64>::max(), 0}};
  if (auto error = ReadQuery(query, parameters)) return reply(Fail(400, *error));
  std::optional<qint64> after;
  if (parameters[0].given) after = parameters[0].value;
  for (const HttpHeader& header : request.headers) {
    // A browser sends back whatever id it last saw: anything else counts as none.
    if (!after && SameName(header.name, "Last-Event-ID")) after = Digits(header.value);
  }
  if (request.method == "HEAD") return reply(Make(200, kEventStream, {}));
  const ForecastEvents::Token token = events_.Reserve();
  if (token == 0) {
    HttpAnswer busy = Fail(503, QStringLiteral("too many event streams; try again later"));
    busy.AddHeader("Retry-After", "5");
    return reply(std::move(busy));
  }
  HttpAnswer head = Make(200, kEventStream, {});
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

void HttpApi::Routes::Feed(const HttpRequest& request, std::string_view query,
                           const HttpReply& reply) {
  if (auto error = ReadQuery(query, {})) return reply(Fail(400, *error));
  std::vector<std::string> conditions;
  for (const HttpHeader& header : request.headers) {
    if (SameName(header.name, "If-None-Match")) conditions.emplace_back(header.value);
  }
  Read(reply, [conditions = std::move(conditions)](ForecastStore& store) {
    const auto rows = store.NewestForecasts(kFeedEntries, 0);
    if (!rows) return Fail(503, Unreadable(rows.error()));
    const std::string tag = Tag(rows->empty() ? 0 : rows->front().id);
    // XML in a browser may run script of its own: the page's rules hold for it too.
    HttpAnswer answer = PageAnswer(PageFile{kAtom, AtomFeed(*rows).toStdString()});
    answer.AddHeader("ETag", tag);
    if (std::any_of(conditions.begin(), conditions.end(),
                    [&](const std::string& c) { return Matches(c, tag); })) {
      answer.status = 304;
    }
    return answer;
  });
}

void HttpApi::Routes::Look(ForecastStore& store) {
  if (const auto newest = store.NewestForecasts(1, 0)) {
    const std::optional<qint64> known = events_.NewestId();
    const qint64 id = newest->empty() ? 0 : newest->front().id;
    if (!known) {
      events_.Publish(*newest);
    } else if (id > *known) {
      const auto rows = store.NewestForecasts(kResumeMost, 0);
      std::vector<ForecastRow> fresh;
      if (rows) {
        for (auto row = rows->rbegin(); row != rows->rend(); ++row) {
          if (row->id > *known) fresh.push_back(*row);
        }
      }
      events_.Publish(fresh);
    }
  }
  const auto now = SteadyClock::now();
  if (events_.Counts().streams > 0 && now - healthRead_ >= kHealthEvery) {
    healthRead_ = now;
    events_.PublishHealth(HealthJson(ReadHealth(store)));
  }
}

std::shared_ptr<const ForecastAnswer> HttpApi::Routes::Cached() {
  const std::lock_guard lock(cacheMutex_);
  return cached_;
}

std::shared_ptr<const ForecastAnswer> HttpApi::Routes::ReadForecast(ForecastStore& store) {
  auto forecast = std::make_shared<ForecastAnswer>();
  forecast->made = SteadyClock::now();
  const auto rows = store.NewestForecasts(1, 0);
  if (!rows) {
    forecast->answer = Fail(503, Unreadable(rows.error()));
  } else if (rows->empty()) {
    forecast->answer = Fail(404, QStringLiteral("no forecast has been stored yet"));
  } else {
    forecast->answer = ForecastOk(rows->front());
    forecast->tag = Tag(rows->front().id);
    forecast->id = rows->front().id;
  }
  if (forecast->tag.empty()) forecast->answer.AddHeader("Cache-Control", "no-cache");
  const std::lock_guard lock(cacheMutex_);
  cached_ = forecast;
  return forecast;
}

void HttpApi::Routes::Forecasts(const HttpRequest&, std::string_view query,
                                const HttpReply& reply) {
  Parameter parameters[] = {{"limit", 1, kMaxLimit, kDefaultLimit},
                            {"before", 1, std::numeric_limits<qint64>::max(), 0}};
  if (auto error = ReadQuery(query, parameters)) return reply(Fail(400, *error));
  const auto limit = static_cast<int>(parameters[0].value);
  const qint64 before = parameters[1].value;
  Read(reply, [limit, before](ForecastStore& store) {
    const auto rows = store.NewestForecasts(limit, before);
    if (!rows) return Fail(503, Unreadable(rows.error()));
    return Make(200, kJson, ForecastsJson(*rows).toStdString());
  });
}

void HttpApi::Routes::Attempts(const HttpRequest&, std::string_view query, const HttpReply& reply) {
  Parameter parameters[] = {{"limit", 1, kMaxLimit, kDefaultLimit}};
  if (auto error = ReadQuery(query, parameters)) return reply(Fail(400, *error));
  const auto limit = static_cast<int>(parameters[0].value);
  Read(reply, [limit](ForecastStore& store) {
    const auto rows = store.NewestAttempts(limit);
    if (!rows) return Fail(503, Unreadable(rows.error()));
    return Make(200, kJson, AttemptsJson(*rows).toStdString());
  });
}

HealthReport HttpApi::Routes::HealthOf(const StoreExpected<std::vector<AttemptRow>>& attempts,
                                       const QDateTime& now) const {
  HealthReport report = attempts ? AssessHealth(*attempts, schedule_, now)
                                 : UnreadableLog(Unreadable(attempts.error()));
  const GroupStanding standing = role_.Get();
  report.role = standing.role;
  report.turnTaken = standing.turnTaken;
  report.takeovers = standing.takeovers;
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

HealthReport HttpApi::Routes::ReadHealth(ForecastStore& store) const {
  return HealthOf(store.NewestAttempts(kHealthAttempts), clock_.Now());
}

void HttpApi::Routes::Health(const HttpRequest&, std::string_view query, const HttpReply& reply) {
  if (auto error = ReadQuery(query, {})) return reply(Fail(400, *error));
  Read(reply, [this](ForecastStore& store) {
    const HealthReport report = ReadHealth(store);
    return Make(report.Healthy() ? 200 : 503, kJson, HealthJson(report).toStdString());
  });
}

void HttpApi::Routes::MetricsText(const HttpRequest&, std::string_view query,
                                  const HttpReply& reply) {
  if (auto error = ReadQuery(query, {})) return reply(Fail(400, *error));
  Read(reply, [this](ForecastStore& store) {
    return Make(200, kPrometheus,
                metrics_.PrometheusText(ReadHealth(store), events_.Counts()).toStdString());
  });
}

// A query is the browser's business (a bookmark, a monitor's cache-buster): the page is the same.
void HttpApi::Routes::Page(const HttpRequest& request, std::string_view, const HttpReply& reply) {
  std::string accepted;
  for (const HttpHeader& header : request.headers) {
    if (!SameName(header.name, "Accept-Language")) continue;
    if (!accepted.empty()) accepted += ',';
    accepted += header.value;
  }
  const PageFile& html = page_.Html(LanguageFor(accepted));
  HttpAnswer answer = PageAnswer(html);
  answer.AddHeader("Content-Language", html.language);
  answer.AddHeader("Vary", "Accept-Language");
  reply(std::move(answer));
}

void HttpApi::Routes::PageAsset(const HttpRequest& request, std::string_view query,
                                const HttpReply& reply) {
  if (auto error = ReadQuery(query, {})) return reply(Fail(400, *error));
  const PageFile* file = page_.Asset(request.path.substr(std::string_view("/page/").size()));
  if (!file) return reply(Fail(404, QStringLiteral("no such resource")));
  reply(PageAnswer(*file));
}

void HttpApi::Routes::PageStatus(const HttpRequest&, std::string_view query,
                                 const HttpReply& reply) {
  if (auto error = ReadQuery(query, {})) return reply(Fail(400, *error));
  Read(reply, [this](ForecastStore& store) {
    const QDateTime now = clock_.Now();
    const auto [from, to] = SlotGridRange(now.date(), kSlotPictureDays);
    const auto forecasts = ForecastsSince(store, from);
    if (!forecasts) return Fail(503, Unreadable(forecasts.error()));
    const auto attempts = store.NewestAttempts(kHealthAttempts);
    if (!attempts) return Fail(503, Unreadable(attempts.error()));
    const auto pictured = store.AttemptsBetween(from, to);
    if (!pictured) return Fail(503, Unreadable(pictured.error()));
    const std::vector<AttemptRow> newest(
        attempts->begin(), attempts->begin() + std::min(attempts->size(), kPageAttempts));
    HttpAnswer answer = Make(
        200, kJson,
        StatusJson(*forecasts, HealthOf(attempts, now),
                   BuildSlotGrid(*pictured, now.date(), kSlotPictureDays, now, schedule_), newest)
            .toStdString());
    answer.AddHeader("X-Content-Type-Options", "nosniff");
    answer.AddHeader("Cache-Control", "no-cache");
    return answer;
  });
}

HttpApi::HttpApi(QString databaseLocation, PgLimits limits, const Metrics& metrics,
                 const Clock& clock, SyncWindows schedule, ServerLimits serverLimits)
    : location_(std::move(databaseLocation)),
      limits_(limits),
      metrics_(metrics),
      clock_(clock),
      schedule_(std::move(schedule)),
      serverLimits_(serverLimits) {}

HttpApi::~HttpApi() { Stop(); }

std::expected<QString, QString> HttpApi::Start(const QString& hostPort) {
  if (server_) return std::unexpected(QStringLiteral("the HTTP API is serving already"));
  const std::optional<ListenAddress> address = ParseListenAddress(hostPort);
  if (!address) {
    return std::unexpected(
        QStringLiteral("\"%1\" is not HOST:PORT (an IPv6 host in brackets, a port up to 65535)")
            .arg(hostPort));
  }
  const auto failure = [&](const QString& why) {
    Stop();
    return std::unexpected(QStringLiteral("cannot listen on %1: %2").arg(hostPort, why));
  };
  readers_ = std::make_unique<StoreReaders>(location_, limits_);
  if (auto error = readers_->Start(kReaders, kQueuedReads)) return failure(*error);
  events_ = std::make_unique<ForecastEvents>(kMaxStreams);
  routes_ = std::make_unique<Routes>(metrics_, standing_, *readers_, *events_, clock_, schedule_);
  server_ = std::make_unique<HttpServer>(
      serverLimits_,
      [routes = routes_.get()](const HttpRequest& request, HttpReply reply) {
        routes->Answer(request, reply);
      },
      [](int status, std::string_view reason) {
        return Fail(status,
                    QString::fromUtf8(reason.data(), static_cast<qsizetype>(reason.size())));
      });
  const auto port = server_->Start(address->host, address->port);
  if (!port) return failure(port.error());
  watcher_ = std::make_unique<StoreWatcher>(location_, limits_);
  watcher_->Start([routes = routes_.get()](ForecastStore& store) { routes->Look(store); });
  const QString host = QString::fromStdString(address->host);
  return (host.contains(QLatin1Char(':')) ? u'[' + host + u']' : host) + u':' +
         QString::number(*port);
}

void HttpApi::ForecastStored() {
  if (watcher_) watcher_->Nudge();
}

void HttpApi::Stop() {
  // Reads still queued are dropped and end their connections; those under way are answered,
  // and so is every request that waits; streams end at once.
  if (watcher_) watcher_->Stop();
  if (server_) server_->StopAccepting();
  if (events_) events_->Stop();
  if (readers_) readers_->Stop();
  if (server_) server_->Stop();
  watcher_.reset();
  server_.reset();
  routes_.reset();
  events_.reset();
  readers_.reset();
}

void HttpApi::SetRole(const GroupStanding& standing) {
  const std::lock_guard lock(standing_.mutex);
  standing_.value = standing;
}

}  // namespace skyloom

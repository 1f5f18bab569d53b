#include "serving/http_api.h"

#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <limits>
#include <mutex>
#include <span>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "serving/bounded_http_server.h"
#include "serving/health.h"
#include "serving/json_rows.h"
#include "serving/metrics.h"
#include "store/open_store.h"

namespace skyloom {
namespace {

using SteadyClock = std::chrono::steady_clock;
using httplib::Request;
using httplib::Response;

constexpr char kJson[] = "application/json";
constexpr char kPrometheus[] = "text/plain; version=0.0.4";
// Request lines over 8 KiB cpp-httplib refuses itself (414).
constexpr std::size_t kHeaderBytes = 8 * 1024;
// A forecast another program writes shows within this.
constexpr auto kForecastLifetime = std::chrono::seconds(1);
constexpr qint64 kDefaultLimit = 20;
constexpr qint64 kMaxLimit = 1000;
// How far back GET /health looks for the last success: weeks of timed fetches.
constexpr int kHealthAttempts = 1000;

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

struct Parameter {
  const char* name;
  qint64 lowest;
  qint64 highest;
  qint64 value;  // the default until read
};

// Reads the query into `parameters`; any other name, a name given twice or a value out of
// range is an error, so that a misspelt parameter is not silently ignored.
std::optional<QString> ReadQuery(const httplib::Params& query, std::span<Parameter> parameters) {
  for (const auto& [name, text] : query) {
    const QString shown = QString::fromStdString(name);
    const auto parameter = std::find_if(parameters.begin(), parameters.end(),
                                        [&name](const Parameter& p) { return name == p.name; });
    if (parameter == parameters.end()) {
      return QStringLiteral("unknown query parameter \"%1\"").arg(shown);
    }
    if (query.count(name) > 1) return QStringLiteral("\"%1\" is given more than once").arg(shown);
    const std::optional<qint64> number = Digits(text);
    if (!number || *number < parameter->lowest || *number > parameter->highest) {
      return QStringLiteral("\"%1\" must be a whole number from %2 to %3")
          .arg(shown)
          .arg(parameter->lowest)
          .arg(parameter->highest);
    }
    parameter->value = *number;
  }
  return std::nullopt;
}

// cpp-httplib adds the connection's addresses to the headers it read.
bool AddedByServer(const std::string& name) {
  return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
         name == "LOCAL_PORT";
}

std::size_t HeaderBytes(const Request& request) {
  std::size_t bytes = 0;
  for (const auto& [name, value] : request.headers) {
    if (!AddedByServer(name)) bytes += name.size() + value.size() + 4;  // ": " and CRLF
  }
  return bytes;
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

void Fail(Response& response, int status, const QString& message) {
  response.status = status;
  response.set_content(ErrorJson(message).toStdString(), kJson);
}

// Errors cpp-httplib answers before any handler runs.
QString ServerError(int status) {
  switch (status) {
    case 400:
      return QStringLiteral("the request could not be read");
    case 413:
      return QStringLiteral("the request is too large");
    case 414:
      return QStringLiteral("the request line is over 8 KiB");
    default:
      return QStringLiteral("the request failed");
  }
}

struct ListenAddress {
  std::string host;
  int port = 0;
};

// HOST:PORT, an IPv6 host in brackets.
std::optional<ListenAddress> ParseListenAddress(const QString& text) {
  const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
  if (colon <= 0) return std::nullopt;
  QString host = text.left(colon);
  if (host.startsWith(QLatin1Char('['))) {
    if (host.size() < 3 || !host.endsWith(QLatin1Char(']'))) return std::nullopt;
    host = host.mid(1, host.size() - 2);
  } else if (host.contains(QLatin1Char(':'))) {
    return std::nullopt;
  }
  const std::optional<qint64> port = Digits(text.mid(colon + 1).toStdString());
  if (!port || *port > 65535) return std::nullopt;
  return ListenAddress{host.toStdString(), static_cast<int>(*port)};
}

// cpp-httplib only tells that binding failed; a name that does not resolve deserves its own
// message.
std::optional<QString> Unresolvable(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  const int code = ::getaddrinfo(host.c_str(), "0", &hints, &found);
  if (code != 0) return QString::fromLocal8Bit(::gai_strerror(code));
  ::freeaddrinfo(found);
  return std::nullopt;
}

// The answer to GET /forecast, kept for a moment so that most requests skip the database.
struct ForecastAnswer {
  int status = 200;
  std::string body;
  std::string tag;  // ETag; empty without a forecast
  SteadyClock::time_point made;
};

}  // namespace

class HttpApi::Routes final {
 public:
  Routes(const QString& location, PgLimits limits, const Metrics& metrics, const Clock& clock,
         SyncWindows schedule)
      : metrics_(metrics),
        clock_(clock),
        schedule_(std::move(schedule)),
        store_(OpenStore(location, limits)) {}

  void Answer(const Request& request, Response& response);

 private:
  using Route = void (Routes::*)(const Request&, Response&);

  void Forecast(const Request& request, Response& response);
  void Forecasts(const Request& request, Response& response);
  void Attempts(const Request& request, Response& response);
  void Health(const Request& request, Response& response);
  void MetricsText(const Request& request, Response& response);

  std::shared_ptr<const ForecastAnswer> CurrentForecast();
  std::shared_ptr<const ForecastAnswer> Cached();
  ForecastAnswer ReadForecast();
  HealthReport ReadHealth();
  template <typename Query>
  std::optional<StoreError> Read(Query query) {
    const std::lock_guard lock(storeMutex_);
    return query(*store_);
  }

  const Metrics& metrics_;
  const Clock& clock_;
  const SyncWindows schedule_;
  std::mutex storeMutex_;  // PgStore keeps one session, for one caller at a time
  std::unique_ptr<ForecastStore> store_;
  std::mutex cacheMutex_;
  std::shared_ptr<const ForecastAnswer> cached_;
  std::mutex refreshMutex_;
};

void HttpApi::Routes::Answer(const Request& request, Response& response) {
  static constexpr std::pair<std::string_view, Route> kRoutes[] = {
      {"/forecast", &Routes::Forecast},
      {"/forecasts", &Routes::Forecasts},
      {"/attempts", &Routes::Attempts},
      {"/health", &Routes::Health},
      {"/metrics", &Routes::MetricsText}};
  if (HeaderBytes(request) > kHeaderBytes) {
    return Fail(response, 431, QStringLiteral("the request headers are over 8 KiB"));
  }
  const auto route = std::find_if(std::begin(kRoutes), std::end(kRoutes),
                                  [&request](const auto& r) { return r.first == request.path; });
  if (route == std::end(kRoutes)) return Fail(response, 404, QStringLiteral("no such resource"));
  if (request.method != "GET" && request.method != "HEAD") {
    response.set_header("Allow", "GET, HEAD");
    return Fail(response, 405, QStringLiteral("only GET and HEAD are served"));
  }
  (this->*route->second)(request, response);
}

void HttpApi::Routes::Forecast(const Request& request, Response& response) {
  if (auto error = ReadQuery(request.params, {})) return Fail(response, 400, *error);
  const std::shared_ptr<const ForecastAnswer> answer = CurrentForecast();
  response.set_header("Cache-Control", "no-cache");
  if (!answer->tag.empty()) {
    response.set_header("ETag", answer->tag);
    if (Matches(request.get_header_value("If-None-Match"), answer->tag)) {
      response.status = 304;
      return;
    }
  }
  response.status = answer->status;
  response.set_content(answer->body, kJson);
}

std::shared_ptr<const ForecastAnswer> HttpApi::Routes::Cached() {
  const std::lock_guard lock(cacheMutex_);
  return cached_;
}

std::shared_ptr<const ForecastAnswer> HttpApi::Routes::CurrentForecast() {
  const auto fresh = [](const std::shared_ptr<const ForecastAnswer>& answer) {
    return answer && SteadyClock::now() - answer->made < kForecastLifetime;
  };
  std::shared_ptr<const ForecastAnswer> answer = Cached();
  if (fresh(answer)) return answer;
  // One request reads the database; the others answer from the old copy meanwhile.
  std::unique_lock refresh(refreshMutex_, std::try_to_lock);
  if (!refresh.owns_lock()) {
    if (answer) return answer;
    refresh.lock();
  }
  answer = Cached();
  if (fresh(answer)) return answer;
  answer = std::make_shared<const ForecastAnswer>(ReadForecast());
  const std::lock_guard lock(cacheMutex_);
  cached_ = answer;
  return answer;
}

ForecastAnswer HttpApi::Routes::ReadForecast() {
  ForecastAnswer answer;
  answer.made = SteadyClock::now();
  std::vector<ForecastRow> rows;
  if (auto error =
          Read([&rows](ForecastStore& store) { return store.NewestForecasts(1, 0, rows); })) {
    answer.status = 503;
    answer.body = ErrorJson(error->message).toStdString();
  } else if (rows.empty()) {
    answer.status = 404;
    answer.body = ErrorJson(QStringLiteral("no forecast has been stored yet")).toStdString();
  } else {
    answer.body = ForecastJson(rows.front()).toStdString();
    answer.tag = '"' + std::to_string(rows.front().id) + '"';
  }
  return answer;
}

void HttpApi::Routes::Forecasts(const Request& request, Response& response) {
  Parameter parameters[] = {{"limit", 1, kMaxLimit, kDefaultLimit},
                            {"before", 1, std::numeric_limits<qint64>::max(), 0}};
  if (auto error = ReadQuery(request.params, parameters)) return Fail(response, 400, *error);
  std::vector<ForecastRow> rows;
  const auto limit = static_cast<int>(parameters[0].value);
  if (auto error = Read([&](ForecastStore& store) {
        return store.NewestForecasts(limit, parameters[1].value, rows);
      })) {
    return Fail(response, 503, error->message);
  }
  response.set_content(ForecastsJson(rows).toStdString(), kJson);
}

void HttpApi::Routes::Attempts(const Request& request, Response& response) {
  Parameter parameters[] = {{"limit", 1, kMaxLimit, kDefaultLimit}};
  if (auto error = ReadQuery(request.params, parameters)) return Fail(response, 400, *error);
  std::vector<AttemptRow> rows;
  const auto limit = static_cast<int>(parameters[0].value);
  if (auto error = Read([&](ForecastStore& store) { return store.NewestAttempts(limit, rows); })) {
    return Fail(response, 503, error->message);
  }
  response.set_content(AttemptsJson(rows).toStdString(), kJson);
}

HealthReport HttpApi::Routes::ReadHealth() {
  std::vector<AttemptRow> attempts;
  if (auto error = Read([&attempts](ForecastStore& store) {
        return store.NewestAttempts(kHealthAttempts, attempts);
      })) {
    return UnreadableLog(error->message);
  }
  return AssessHealth(attempts, schedule_, clock_.Now());
}

void HttpApi::Routes::Health(const Request& request, Response& response) {
  if (auto error = ReadQuery(request.params, {})) return Fail(response, 400, *error);
  const HealthReport report = ReadHealth();
  response.status = report.Healthy() ? 200 : 503;
  response.set_content(HealthJson(report).toStdString(), kJson);
}

void HttpApi::Routes::MetricsText(const Request& request, Response& response) {
  if (auto error = ReadQuery(request.params, {})) return Fail(response, 400, *error);
  response.set_content(metrics_.PrometheusText(ReadHealth()).toStdString(), kPrometheus);
}

HttpApi::HttpApi(QString databaseLocation, PgLimits limits, const Metrics& metrics,
                 const Clock& clock, SyncWindows schedule)
    : routes_(std::make_unique<Routes>(databaseLocation, limits, metrics, clock,
                                       std::move(schedule))) {}

HttpApi::~HttpApi() { Stop(); }

std::optional<QString> HttpApi::Start(const QString& hostPort, QString& bound) {
  if (server_) return QStringLiteral("the HTTP API is serving already");
  const std::optional<ListenAddress> address = ParseListenAddress(hostPort);
  if (!address) {
    return QStringLiteral("\"%1\" is not HOST:PORT (an IPv6 host in brackets, a port up to 65535)")
        .arg(hostPort);
  }
  const auto failure = [&hostPort](const QString& why) {
    return QStringLiteral("cannot listen on %1: %2").arg(hostPort, why);
  };
  if (auto error = Unresolvable(address->host)) return failure(*error);

  auto server = std::make_unique<BoundedHttpServer>(ConnectionLimits{});
  server->set_default_headers({{"Access-Control-Allow-Origin", "*"}});
  server->set_pre_routing_handler(
      [routes = routes_.get()](const Request& request, Response& response) {
        routes->Answer(request, response);
        return httplib::Server::HandlerResponse::Handled;
      });
  server->set_error_handler(
      httplib::Server::HandlerWithResponse([](const Request&, Response& response) {
        if (!response.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        response.set_content(ErrorJson(ServerError(response.status)).toStdString(), kJson);
        return httplib::Server::HandlerResponse::Handled;
      }));
  server->set_exception_handler([](const Request&, Response& response, std::exception_ptr) {
    Fail(response, 500, QStringLiteral("the request failed inside the server"));
  });
  errno = 0;
  int port = address->port;
  if (port == 0) {
    port = server->bind_to_any_port(address->host);
  } else if (!server->bind_to_port(address->host, port)) {
    port = -1;
  }
  if (port < 0) {
    const int error = errno;
    return failure(error != 0 ? QString::fromLocal8Bit(std::strerror(error))
                              : QStringLiteral("the address cannot be bound"));
  }
  server->RaiseBacklog();

  server_ = std::move(server);
  listenEnded_ = false;
  thread_ = std::thread([this] {
    server_->listen_after_bind();
    listenEnded_ = true;
  });
  // cpp-httplib's stop() does nothing to a server that has not begun to listen.
  while (!server_->is_running() && !listenEnded_) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (listenEnded_) {
    Stop();
    return failure(QStringLiteral("the server stopped at once"));
  }
  const QString host = QString::fromStdString(address->host);
  bound =
      (host.contains(QLatin1Char(':')) ? u'[' + host + u']' : host) + u':' + QString::number(port);
  return std::nullopt;
}

void HttpApi::Stop() {
  if (!server_) return;
  server_->StopServing();
  if (thread_.joinable()) thread_.join();
  server_.reset();
}

}  // namespace skyloom

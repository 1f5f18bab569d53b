#include "serving/http_api.h"

#include <QCoreApplication>

#include "http/listen_address.h"
#include "serving/forecast_events.h"
#include "serving/store_readers.h"
#include "serving/store_watcher.h"

namespace skyloom {
namespace {

// Reads at once, and waiting: beyond those a request is told the server is busy.
constexpr int kReaders = 4;
constexpr std::size_t kQueuedReads = 256;
// Streams are connections too; these leave room for every other request.
constexpr std::size_t kMaxStreams = 512;

}  // namespace

HttpApi::HttpApi(QString databaseLocation, PgLimits limits, const Metrics& metrics,
                 const Clock& clock, SyncWindows schedule, ServerLimits serverLimits,
                 FileWatching watching)
    : location_(std::move(databaseLocation)),
      limits_(limits),
      metrics_(metrics),
      clock_(clock),
      schedule_(std::move(schedule)),
      serverLimits_(serverLimits),
      watching_(watching) {}

HttpApi::~HttpApi() { Stop(); }

std::expected<QString, QString> HttpApi::Start(const QString& hostPort) {
  if (server_) return std::unexpected(QStringLiteral("the HTTP API is serving already"));
  if (!QCoreApplication::instance()) {
    return std::unexpected(QStringLiteral("the HTTP API needs a QCoreApplication"));
  }
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
  readers_->Start(kReaders, kQueuedReads);
  events_ = std::make_unique<ForecastEvents>(kMaxStreams);
  watcher_ = std::make_unique<StoreWatcher>(location_, limits_, watching_);
  routes_ = std::make_unique<ApiRoutes>(metrics_, standing_, *readers_, *events_, *watcher_, clock_,
                                        schedule_);
  // Its first look starts at once, so that the first requests are answered from memory too.
  watcher_->Start([routes = routes_.get()](const std::shared_ptr<const KeptRecord>& record,
                                           bool forecastsChanged, bool logChanged) {
    routes->Heard(record, forecastsChanged, logChanged);
  });
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
  const QString host = QString::fromStdString(address->host);
  return (host.contains(QLatin1Char(':')) ? u'[' + host + u']' : host) + u':' +
         QString::number(*port);
}

void HttpApi::RecordChanged() {
  if (watcher_) watcher_->Nudge();
}

bool HttpApi::CatchUp(std::chrono::milliseconds most) {
  return watcher_ && watcher_->CatchUp(most);
}

void HttpApi::Stop() {
  // Reads still queued are dropped and end their connections; those under way are answered,
  // and so is every request that waits; streams end at once.
  if (watcher_) watcher_->Stop();
  if (server_) server_->StopAccepting();
  if (events_) events_->Stop();
  if (readers_) readers_->Stop();
  if (server_) server_->Stop();
  server_.reset();
  routes_.reset();
  watcher_.reset();
  events_.reset();
  readers_.reset();
}

void HttpApi::SetRole(const GroupStanding& standing) {
  const std::lock_guard lock(standing_.mutex);
  standing_.value = standing;
}

}  // namespace skyloom

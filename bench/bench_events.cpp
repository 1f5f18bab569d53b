// Open GET /events streams (1, 100 and 512, the most the API keeps) and one new forecast, on
// a scratch SQLite file and on a PostgreSQL server of its own: the time from the write until
// the last stream has it, the write's own time, and the memory each open stream costs.

#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/open_files.h"
#include "serving/http_api.h"
#include "serving/metrics.h"
#include "store/open_store.h"
#include "support/pg_server.h"

namespace skyloom {
namespace {

enum Backend { kSqlite, kPostgres };

long ResidentKib() {
  QFile status(QStringLiteral("/proc/self/status"));
  if (!status.open(QIODevice::ReadOnly)) return 0;
  for (const QByteArray& line : status.readAll().split('\n')) {
    if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').front().toLong();
  }
  return 0;
}

// From 127.0.0.2 upwards, 50 an address: under the server's bound per address.
int OpenStream(int port, int i) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(0x7f000002 + static_cast<uint32_t>(i / 50));
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  server.sin_port = htons(static_cast<uint16_t>(port));
  ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
  ::connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server);
  const std::string head = "GET /events HTTP/1.1\r\nHost: x\r\n\r\n";
  ::send(fd, head.data(), head.size(), MSG_NOSIGNAL);
  return fd;
}

// Reads every stream until each has `mark`.
void AwaitAll(const std::vector<int>& fds, const std::string& mark) {
  std::vector<std::string> received(fds.size());
  std::vector<pollfd> waiting;
  for (int fd : fds) waiting.push_back({fd, POLLIN, 0});
  std::size_t done = 0;
  while (done < fds.size() && ::poll(waiting.data(), waiting.size(), 10'000) > 0) {
    for (std::size_t i = 0; i < waiting.size(); ++i) {
      if (waiting[i].fd < 0 || !(waiting[i].revents & POLLIN)) continue;
      char chunk[16384];
      const ssize_t n = ::recv(waiting[i].fd, chunk, sizeof chunk, 0);
      if (n > 0) received[i].append(chunk, static_cast<std::size_t>(n));
      if (n <= 0 || received[i].find(mark) != std::string::npos) {
        waiting[i].fd = -1;
        ++done;
      }
    }
  }
}

void BM_NewForecastToEveryStream(benchmark::State& state) {
  RaiseOpenFileLimit();
  // The API's threads need an application object.
  static int argc = 1;
  static char name[] = "bench_events";
  static char* argv[] = {name, nullptr};
  static QCoreApplication application(argc, argv);
  const int streams = static_cast<int>(state.range(0));
  QTemporaryDir folder;
  QString location = folder.filePath(QStringLiteral("tqyb.mdb"));
  if (state.range(1) == kPostgres) {
    // As the tests start it: a private server on loopback, its syncs skipped.
    static test::PgServer server;
    static int databases = 0;
    const QString database = QStringLiteral("events%1").arg(++databases);
    server.CreateDatabase(database);
    location = server.Uri(database);
  }
  const std::unique_ptr<ForecastStore> store = OpenStore(location);
  if (auto made = store->CreateTables(); !made) {
    return state.SkipWithError(made.error().message.toStdString().c_str());
  }
  store->Record(FetchResult{0, {}, QStringLiteral("晴，东南风3级。")});
  const Metrics metrics;
  const SystemClock clock;
  HttpApi api(location, PgLimits{}, metrics, clock);
  const auto bound = api.Start(QStringLiteral("127.0.0.1:0"));
  if (!bound) return state.SkipWithError(qPrintable(bound.error()));
  const int port = bound->section(QLatin1Char(':'), 1).toInt();

  const long before = ResidentKib();
  std::vector<int> fds;
  for (int i = 0; i < streams; ++i) fds.push_back(OpenStream(port, i));
  AwaitAll(fds, "\nid: 1\n");
  state.counters["KiB_per_stream"] = static_cast<double>(ResidentKib() - before) / streams;

  int day = 0;
  double writing = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const StoreResult stored =
        store->Record(FetchResult{0, {}, QStringLiteral("第%1天").arg(++day)});
    writing += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    AwaitAll(fds, "\nid: " + std::to_string(stored.forecastId) + "\n");
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  // The write ends with its commit: what the streams took after it is the rest.
  state.counters["write_ms"] = 1000 * writing / static_cast<double>(state.iterations());
  for (int fd : fds) ::close(fd);
  api.Stop();
}
BENCHMARK(BM_NewForecastToEveryStream)
    ->ArgNames({"streams", "postgres"})
    ->ArgsProduct({{1, 100, 512}, {kSqlite, kPostgres}})
    ->UseManualTime()
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace skyloom

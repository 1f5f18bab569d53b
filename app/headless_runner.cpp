#include "app/headless_runner.h"

#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>

#include "app/collector.h"
#include "app/sync_driver.h"

namespace skyloom {
namespace {

int signalPipe[2] = {-1, -1};

// Only async-signal-safe work here: the event loop reads the pipe and stops.
void OnStopSignal(int signal) {
  const char byte = static_cast<char>(signal);
  [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

void PrintLine(std::FILE* stream, const QString& text) {
  const QByteArray bytes = text.toUtf8();
  std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
  std::fputc('\n', stream);
  std::fflush(stream);
}

}  // namespace

int RunHeadless(const CommandLine& line, int argc, char* argv[]) {
  QCoreApplication app(argc, argv);
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0) {
    std::perror("skyloom: socketpair");
    return 1;
  }
  QSocketNotifier stopNotifier(signalPipe[0], QSocketNotifier::Read);
  QObject::connect(&stopNotifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
  struct sigaction action = {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  const SystemClock clock;
  Collector collector(clock, ForecastStore(line.databasePath), line.limits);
  SyncDriver driver(collector, [address = line.address] { return address; });
  QObject::connect(
      &driver, &SyncDriver::fetchFinished, &app, [&](bool timed, const QString& storeError) {
        if (!storeError.isEmpty()) PrintLine(stderr, storeError);
        if (!timed) return;
        const FetchState& state = collector.State();
        PrintLine(stdout, QStringLiteral("%1\t%2\t%3\t%4")
                              .arg(clock.Now().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                                   state.FetchErrNum == 0 ? kStatusFetched : kStatusFetchError)
                              .arg(state.FetchErrNum)
                              .arg(state.FetchErrDes));
      });
  driver.Start();
  const int status = app.exec();
  driver.Stop();
  return status;
}

}  // namespace skyloom

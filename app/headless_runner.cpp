#include "app/headless_runner.h"

#include <QCoreApplication>
#include <cstdio>

#include "app/once_runner.h"
#include "app/running_collector.h"
#include "app/terminal_text.h"
#include "collecting/collector_service.h"
#include "collecting/sync_driver.h"
#include "platform/stop_signal.h"

namespace skyloom {
namespace {

void PrintLine(std::FILE* stream, const QString& text) {
  const QByteArray bytes = text.toUtf8();
  std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
  std::fputc('\n', stream);
  std::fflush(stream);
}

}  // namespace

int RunHeadless(const CommandLine& line, int argc, char* argv[]) {
  // Asked once before anything runs, so that a service manager sees why it stopped.
  if (const auto refused = NewerDatabase(line.service)) {
    PrintLine(stderr, QStringLiteral("skyloom: ") + *refused);
    return kRefusedDatabase;
  }
  QCoreApplication app(argc, argv);
  OnStopSignal(app, &QCoreApplication::quit);

  // Never destroyed: an attempt stuck in a database call past the exit still reads it.
  static const auto* const clock = new SystemClock;
  RunningCollector collector(*clock, line.service);
  CollectorService& service = collector.Service();
  QObject::connect(&service.Driver(), &SyncDriver::fetchFinished, &app, [](const Attempt& attempt) {
    if (attempt.stored.error) PrintLine(stderr, attempt.stored.error->message);
    if (attempt.timed) {
      PrintLine(stdout, TerminalText(AttemptFields(attempt).join(u'\t')));
    }
  });
  QObject::connect(&service, &CollectorService::roleChanged, &app, [](CollectorRole role) {
    PrintLine(stdout, LogTimeText(clock->Now()) + QStringLiteral("\trole\t") + RoleName(role));
  });
  QObject::connect(&collector, &RunningCollector::report, &app, [](const QString& text) {
    PrintLine(stderr, QStringLiteral("skyloom: ") + text);
  });
  if (auto problem = collector.Start()) {
    PrintLine(stderr, QStringLiteral("skyloom: ") + *problem);
    return 1;
  }
  const int status = app.exec();
  collector.Stop();
  return status;
}

}  // namespace skyloom

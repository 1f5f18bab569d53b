#include <QApplication>
#include <cstdio>

#include "app/command_line.h"
#include "app/running_collector.h"
#include "collecting/collector_service.h"
#include "platform/clock.h"
#include "platform/stop_signal.h"
#include "platform/translations.h"
#include "ui/main_window.h"

// The window program; `skyloom` hands over to it when no other mode is asked for.
int main(int argc, char* argv[]) {
  QStringList arguments;
  for (int i = 1; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  const skyloom::CommandLine line = skyloom::ParseCommandLine(arguments);
  if (line.mode != skyloom::CommandLine::Mode::Window) {
    std::fputs(skyloom::UsageText().toUtf8().constData(), stderr);
    return 2;
  }

  // Qt aborts when it finds no display; say what to do instead.
  if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
      qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    std::fputs("skyloom: no display to open the window on; use --headless to collect without one\n",
               stderr);
    return 1;
  }
  QApplication app(argc, argv);
  skyloom::InstallTranslation();
  // Never destroyed: an attempt stuck in a database call past the exit still reads it.
  static const auto* const clock = new skyloom::SystemClock;
  skyloom::RunningCollector collector(*clock, line.service);
  QObject::connect(&collector, &skyloom::RunningCollector::report, &app, [](const QString& text) {
    std::fprintf(stderr, "skyloom: %s\n", text.toUtf8().constData());
  });
  skyloom::MainWindow window(collector.Service());
  skyloom::OnStopSignal(window, [&window] {
    window.close();
    // A window hidden in the notification area may not count as the last one closing.
    QCoreApplication::quit();
  });
  if (auto problem = collector.Start()) {
    std::fprintf(stderr, "skyloom: %s\n", problem->toUtf8().constData());
    return 1;
  }
  window.show();
  const int status = app.exec();
  collector.Stop();
  return status;
}

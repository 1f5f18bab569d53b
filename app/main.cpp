#include <QApplication>
#include <cstdio>

#include "app/command_line.h"
#include "app/headless_runner.h"
#include "app/once_runner.h"
#include "platform/clock.h"
#include "platform/program_info.h"
#include "ui/form1.h"
#include "ui/stop_signal.h"

int main(int argc, char* argv[]) {
  using skyloom::CommandLine;
  QStringList arguments;
  for (int i = 1; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  const CommandLine line = skyloom::ParseCommandLine(arguments);

  switch (line.mode) {
    case CommandLine::Mode::Help:
      std::fputs(skyloom::UsageText().toUtf8().constData(), stdout);
      return 0;
    case CommandLine::Mode::Version:
      std::printf("Skyloom %s\n", skyloom::VersionText().toUtf8().constData());
      return 0;
    case CommandLine::Mode::Invalid:
      std::fprintf(stderr, "skyloom: %s\n%s", line.problem.toUtf8().constData(),
                   skyloom::UsageText().toUtf8().constData());
      return 2;
    case CommandLine::Mode::Once:
      return skyloom::RunOnce(line);
    case CommandLine::Mode::Headless:
      return skyloom::RunHeadless(line, argc, argv);
    case CommandLine::Mode::Window: {
      QApplication app(argc, argv);
      // Lets Wayland desktops match the window to skyloom.desktop and its icon.
      QGuiApplication::setDesktopFileName(QStringLiteral("skyloom"));
      const skyloom::SystemClock clock;
      skyloom::Form1 form(clock, line.databasePath, line.address, line.limits);
      skyloom::CloseOnStopSignal(form);
      form.show();
      return app.exec();
    }
  }
  return 2;
}

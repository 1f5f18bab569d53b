#include <unistd.h>

#include <QString>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/backup_command.h"
#include "app/command_line.h"
#include "app/delivery_commands.h"
#include "app/export_command.h"
#include "app/headless_runner.h"
#include "app/once_runner.h"
#include "app/read_commands.h"
#include "build_config.h"
#include "platform/open_files.h"
#include "platform/program_info.h"

namespace {

// The window lives in its own executable beside this one, so that --once and --headless
// never load the widget and display libraries: they start in half the time and memory.
int RunWindow(char* argv[]) {
  // Installed, the window is a private program under libexec; in a build tree, beside us.
  const QString folder = skyloom::ProgramFolder();
  QByteArray window =
      (folder + u'/' + QLatin1String(skyloom::build::kWindowProgramFromBin)).toLocal8Bit();
  if (::access(window.constData(), X_OK) != 0) {
    window = (folder + QStringLiteral("/skyloom-window")).toLocal8Bit();
  }
  ::execv(window.constData(), argv);
  std::fprintf(stderr, "skyloom: cannot start the window program %s: %s\n", window.constData(),
               std::strerror(errno));
  return 1;
}

}  // namespace

int main(int argc, char* argv[]) {
  using skyloom::CommandLine;
  // Before anything opens a file; the window program inherits it.
  skyloom::RaiseOpenFileLimit();
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
                   line.showUsage ? skyloom::UsageText().toUtf8().constData() : "");
      return 2;
    case CommandLine::Mode::Latest:
    case CommandLine::Mode::History:
    case CommandLine::Mode::Log:
      return skyloom::RunReadCommand(line);
    case CommandLine::Mode::Deliveries:
      return skyloom::RunDeliveries(line);
    case CommandLine::Mode::Export:
      return skyloom::RunExport(line);
    case CommandLine::Mode::Backup:
      return skyloom::RunBackup(line);
    case CommandLine::Mode::CheckDb:
      return skyloom::RunCheckDb(line);
    case CommandLine::Mode::TestNotify:
      return skyloom::RunTestNotify(line);
    case CommandLine::Mode::PreviewNotify:
      return skyloom::RunPreviewNotify(line);
    case CommandLine::Mode::Redeliver:
      return skyloom::RunRedeliver(line);
    case CommandLine::Mode::Once:
      return skyloom::RunOnce(line);
    case CommandLine::Mode::InitDb:
      return skyloom::RunInitDb(line);
    case CommandLine::Mode::Headless:
      return skyloom::RunHeadless(line, argc, argv);
    case CommandLine::Mode::Window:
      return RunWindow(argv);
  }
  return 2;
}

#include "app/command_line.h"

#include <chrono>

#include "build_config.h"
#include "platform/program_info.h"

namespace skyloom {

QString DefaultPageAddress() {
  return QStringLiteral("http://%1/xxw/shortnb_output.asp").arg(QLatin1String(build::kDefaultHost));
}

QString DefaultDatabasePath() { return ProgramFolder() + QStringLiteral("/tqyb.mdb"); }

QString UsageText() {
  return QStringLiteral(
             "usage: skyloom [--once | --headless] [--url ADDRESS] [--db FILE]\n"
             "               [--timeout SECONDS] [--connect-timeout SECONDS]\n"
             "       skyloom --help | --version\n"
             "\n"
             "  (no mode)      open the window and collect on the daily schedule\n"
             "  --once         fetch once, print what the result box would show, and exit\n"
             "  --headless     collect on the daily schedule without a window\n"
             "  --url ADDRESS  page address (default %1)\n"
             "  --db FILE      database file (default tqyb.mdb beside the program)\n"
             "  --timeout SECONDS          limit for a whole request (default 120)\n"
             "  --connect-timeout SECONDS  limit for connecting (default 30)\n")
      .arg(DefaultPageAddress());
}

namespace {

CommandLine Invalid(QString problem) {
  CommandLine invalid;
  invalid.mode = CommandLine::Mode::Invalid;
  invalid.problem = std::move(problem);
  return invalid;
}

bool ParseSeconds(const QString& text, std::chrono::milliseconds& limit) {
  bool ok = false;
  const double seconds = text.toDouble(&ok);
  if (!ok || !(seconds > 0) || seconds > 86400) return false;
  limit = std::chrono::milliseconds(static_cast<qint64>(seconds * 1000));
  return true;
}

}  // namespace

CommandLine ParseCommandLine(const QStringList& arguments) {
  CommandLine line;
  line.address = DefaultPageAddress();
  line.databasePath = DefaultDatabasePath();
  bool modeGiven = false;
  for (qsizetype i = 0; i < arguments.size(); ++i) {
    const QString& argument = arguments[i];
    if (argument == QLatin1String("--help") || argument == QLatin1String("--version")) {
      line.mode = argument == QLatin1String("--help") ? CommandLine::Mode::Help
                                                      : CommandLine::Mode::Version;
      return line;
    }
    if (argument == QLatin1String("--once") || argument == QLatin1String("--headless")) {
      if (modeGiven) return Invalid(QStringLiteral("choose one of --once and --headless"));
      modeGiven = true;
      line.mode = argument == QLatin1String("--once") ? CommandLine::Mode::Once
                                                      : CommandLine::Mode::Headless;
      continue;
    }
    const bool takesValue =
        argument == QLatin1String("--url") || argument == QLatin1String("--db") ||
        argument == QLatin1String("--timeout") || argument == QLatin1String("--connect-timeout");
    if (!takesValue) return Invalid(QStringLiteral("unknown argument: %1").arg(argument));
    if (i + 1 >= arguments.size()) return Invalid(QStringLiteral("%1 needs a value").arg(argument));
    const QString& value = arguments[++i];
    if (argument == QLatin1String("--url")) {
      line.address = value;
    } else if (argument == QLatin1String("--db")) {
      if (value.isEmpty()) return Invalid(QStringLiteral("--db needs a file name"));
      line.databasePath = value;
    } else if (!ParseSeconds(value, argument == QLatin1String("--timeout") ? line.limits.whole
                                                                           : line.limits.connect)) {
      return Invalid(QStringLiteral("%1 needs a number of seconds").arg(argument));
    }
  }
  return line;
}

}  // namespace skyloom

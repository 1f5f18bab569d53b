#include "app/command_line.h"

#include <algorithm>
#include <chrono>
#include <iterator>

#include "build_config.h"
#include "platform/program_info.h"

namespace skyloom {

QString DefaultPageAddress() {
  return QStringLiteral("http://%1/xxw/shortnb_output.asp").arg(QLatin1String(build::kDefaultHost));
}

QString DefaultDatabasePath() { return ProgramFolder() + QStringLiteral("/tqyb.mdb"); }

QString UsageText() {
  return QStringLiteral(
             "usage: skyloom [--once | --headless | --init-db] [--url ADDRESS] [--db FILE|URI]\n"
             "               [--timeout SECONDS] [--connect-timeout SECONDS]\n"
             "               [--db-connect-timeout SECONDS] [--db-timeout SECONDS]\n"
             "       skyloom --help | --version\n"
             "\n"
             "  (no mode)      open the window and collect on the daily schedule\n"
             "  --once         fetch once, print what the result box would show, and exit\n"
             "  --headless     collect on the daily schedule without a window\n"
             "  --init-db      create the tables where they are missing, say what was done\n"
             "  --url ADDRESS  page address (default %1)\n"
             "  --db FILE|URI  database file (default tqyb.mdb beside the program), or a\n"
             "                 PostgreSQL server as postgresql://user@host:port/database\n"
             "  --timeout SECONDS             limit for a whole request (default 120)\n"
             "  --connect-timeout SECONDS     limit for connecting to the page (default 30)\n"
             "  --db-connect-timeout SECONDS  limit for connecting to a server (default 10)\n"
             "  --db-timeout SECONDS          limit for each statement on a server (default 30)\n")
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
    const std::pair<const char*, CommandLine::Mode> modes[] = {
        {"--once", CommandLine::Mode::Once},
        {"--headless", CommandLine::Mode::Headless},
        {"--init-db", CommandLine::Mode::InitDb}};
    const auto mode = std::find_if(std::begin(modes), std::end(modes), [&](const auto& m) {
      return argument == QLatin1String(m.first);
    });
    if (mode != std::end(modes)) {
      if (modeGiven)
        return Invalid(QStringLiteral("choose one of --once, --headless and --init-db"));
      modeGiven = true;
      line.mode = mode->second;
      continue;
    }
    std::chrono::milliseconds* limit = nullptr;
    if (argument == QLatin1String("--timeout")) limit = &line.limits.whole;
    if (argument == QLatin1String("--connect-timeout")) limit = &line.limits.connect;
    if (argument == QLatin1String("--db-connect-timeout")) limit = &line.databaseLimits.connect;
    if (argument == QLatin1String("--db-timeout")) limit = &line.databaseLimits.statement;
    const bool takesValue =
        limit || argument == QLatin1String("--url") || argument == QLatin1String("--db");
    if (!takesValue) return Invalid(QStringLiteral("unknown argument: %1").arg(argument));
    if (i + 1 >= arguments.size()) return Invalid(QStringLiteral("%1 needs a value").arg(argument));
    const QString& value = arguments[++i];
    if (argument == QLatin1String("--url")) {
      line.address = value;
    } else if (argument == QLatin1String("--db")) {
      if (value.isEmpty()) return Invalid(QStringLiteral("--db needs a file name or a URI"));
      line.databasePath = value;
    } else if (!ParseSeconds(value, *limit)) {
      return Invalid(QStringLiteral("%1 needs a number of seconds").arg(argument));
    }
  }
  return line;
}

}  // namespace skyloom

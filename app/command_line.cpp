#include "app/command_line.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>
#include <iterator>

#include "app/settings_file.h"
#include "app/settings_keys.h"
#include "build_config.h"
#include "platform/program_info.h"
#include "schedule/schedule_text.h"

namespace skyloom {

QString DefaultPageAddress() {
  return QStringLiteral("http://%1/xxw/shortnb_output.asp").arg(QLatin1String(build::kDefaultHost));
}

QString DefaultDatabasePath() {
  const QString folder = ProgramFolder();
  if (QFileInfo(folder).isWritable()) return folder + QStringLiteral("/tqyb.mdb");
  // Installed where users cannot write (/usr/bin): the user's state folder instead, where
  // the user service keeps its database too.
  QString state = qEnvironmentVariable("XDG_STATE_HOME");
  if (state.isEmpty()) state = QDir::homePath() + QStringLiteral("/.local/state");
  QDir().mkpath(state + QStringLiteral("/skyloom"));
  return state + QStringLiteral("/skyloom/tqyb.mdb");
}

QString DefaultSettingsPath() {
  QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
  if (base.isEmpty()) base = QDir::homePath() + QStringLiteral("/.config");
  return base + QStringLiteral("/skyloom/skyloom.conf");
}

QString UsageText() {
  return QStringLiteral(
             "usage: skyloom [--once | --headless | --init-db] [OPTIONS]\n"
             "       skyloom --latest | --history N | --log N | --deliveries N [--json] [OPTIONS]\n"
             "       skyloom --deliveries N [--state pending|sent|given-up] [--channel NAME]\n"
             "       skyloom --redeliver ID… | --redeliver given-up [--channel NAME] [OPTIONS]\n"
             "       skyloom --test-notify | --preview-notify [FORECAST_ID] [OPTIONS]\n"
             "       skyloom --export forecasts|attempts|deliveries [--since TIME] [--until TIME]\n"
             "               [--format csv|json|ndjson] [--bom] [--output FILE] [OPTIONS]\n"
             "       skyloom --backup FILE | --check-db [OPTIONS]\n"
             "       skyloom --help | --version\n"
             "\n"
             "  (no mode)      open the window and collect on the daily schedule\n"
             "  --once         fetch once, print what the result box would show, and exit\n"
             "  --headless     collect on the daily schedule without a window\n"
             "  --init-db      create the tables where they are missing, say what was done\n"
             "  --latest       print the newest stored forecast\n"
             "  --history N    print the newest N forecasts, newest first\n"
             "  --log N        print the newest N attempts, newest first\n"
             "  --deliveries N print the newest N rows of the outbox, newest first\n"
             "  --json         print those as JSON\n"
             "    --state S    only rows pending, sent or given-up\n"
             "    --channel NAME  only rows of the channel NAME (as --deliveries names it)\n"
             "  --redeliver ID…  put the outbox rows ID (row ids, or event ids) back to pending:\n"
             "                 sent again under their event ids, tries reset, due now\n"
             "  --redeliver given-up  the same for every given-up row (of --channel NAME)\n"
             "  --test-notify  send a test message on every channel now and print each answer\n"
             "  --preview-notify [FORECAST_ID]  print the request every channel would get for\n"
             "                 the forecast (default the newest): address with its keys masked,\n"
             "                 headers and body; nothing is sent or written\n"
             "  --export TABLE write every row of forecasts, attempts or deliveries, oldest first\n"
             "    --since TIME --until TIME  only rows logged from TIME, or before TIME\n"
             "                 (local YYYY-MM-DD[ HH:MM[:SS]]; --until takes in a day alone)\n"
             "    --format F   csv (the default, RFC 4180), json (one array) or ndjson (one\n"
             "                 object a line)\n"
             "    --bom        begin with the UTF-8 byte order mark, for spreadsheets\n"
             "    --output FILE  write FILE whole or not at all, instead of standard output\n"
             "  --backup FILE  copy the database file to FILE, checked, while it is in use\n"
             "  --check-db     print the server reached and whether it is a primary, the schema\n"
             "                 version, integrity, row counts and newest times; exit 1 when\n"
             "                 the database is not sound\n"
             "\n"
             "options (each also a key of the settings file: --db-timeout is db_timeout):\n"
             "  --config FILE  settings file (default %2)\n"
             "  --url ADDRESS  page address (default %1)\n"
             "  --db FILE|URI  database file (default %3), or a\n"
             "                 PostgreSQL server as postgresql://user@host:port/database;\n"
             "                 several as postgresql://user@h1:p1,h2:p2/database or\n"
             "                 'host=h1,h2 port=p1,p2 dbname=database'\n"
             "  --read-from primary|standby|any  the server the API, the History window and\n"
             "                 the read commands read from, of several (default primary);\n"
             "                 the collector always writes on the primary\n"
             "  --timeout SECONDS             limit for a whole request (default 120)\n"
             "  --connect-timeout SECONDS     limit for connecting to the page (default 30)\n"
             "  --db-connect-timeout SECONDS  limit for connecting to a server (default 10)\n"
             "  --db-timeout SECONDS          limit for each statement on a server (default 30)\n"
             "  --listen HOST:PORT  serve the read-only HTTP API there (window, --headless)\n"
             "  --on-new COMMAND    run COMMAND with /bin/sh -c on each new forecast\n"
             "  --on-failure COMMAND   run COMMAND when attempts start to fail\n"
             "  --on-recovery COMMAND  run COMMAND at the first good attempt after failures\n"
             "  --begin-marker TEXT  text the forecast starts after (default %4)\n"
             "  --end-marker TEXT    text the forecast ends before (default %5)\n"
             "  --windows RANGES     daily HH:MM[:SS]-HH:MM[:SS] ranges for timed fetches,\n"
             "                       comma-separated (default %6)\n"
             "  --interval MINUTES   between timed fetches inside a window (default 30)\n"
             "  --notify 'TYPE URL [events=new,failure,recovery] [secret=S]'\n"
             "                       send events on a channel: TYPE is webhook, wecom, dingtalk\n"
             "                       or feishu; may be given several times, and replaces the\n"
             "                       settings file's notify lines. The chat bots also take\n"
             "                       format=rich|text, at=all|WHO[,WHO…] (mobile numbers; user\n"
             "                       ids or e-mail addresses on feishu), at_events=EVENTS\n"
             "                       (default failure,recovery) and keyword=WORD\n"
             "  --notify-give-up TIME  give a message up this long after its event (default 24h)\n"
             "  --keep-attempts DAYS    delete attempts older than DAYS once a day (default:\n"
             "                       keep all; forecasts are always kept)\n"
             "  --keep-deliveries DAYS  delete sent and given-up deliveries older than DAYS\n"
             "                       once a day (default: keep all)\n"
             "  --standby never|auto  never: fetch on every timed slot even when another\n"
             "                       collector on the same database does (default auto)\n"
             "  --no-standby         the same as --standby never\n"
             "  --lease-seconds N    how long a frozen collector keeps its turn on a server,\n"
             "                       3 to 300 (default 10)\n"
             "\n"
             "A commented example settings file is resources/skyloom.conf.example in the source,\n"
             "installed as share/doc/skyloom/skyloom.conf.example.\n")
      .arg(DefaultPageAddress(), DefaultSettingsPath(), DefaultDatabasePath(),
           QString::fromUtf16(kBeginMarker), QString::fromUtf16(kEndMarker),
           WindowsText(SyncWindows{}.windows));
}

namespace {

// Exit statuses of the modes are the callers' business; an invalid line always exits 2.
CommandLine Invalid(QString problem, bool showUsage = true) {
  CommandLine invalid;
  invalid.mode = CommandLine::Mode::Invalid;
  invalid.problem = std::move(problem);
  invalid.showUsage = showUsage;
  return invalid;
}

bool ParseCount(const QString& text, int& count) {
  static const QRegularExpression digits(QStringLiteral("^[0-9]{1,7}$"));
  if (!digits.match(text).hasMatch()) return false;
  count = text.toInt();
  return count > 0;
}

}  // namespace

CommandLine ParseCommandLine(const QStringList& arguments) {
  CommandLine line;
  line.service.address = DefaultPageAddress();
  line.service.databaseLocation = DefaultDatabasePath();

  const qsizetype config = arguments.indexOf(QStringLiteral("--config"));
  if (config >= 0 && config + 1 >= arguments.size()) {
    return Invalid(QStringLiteral("--config needs a file name"));
  }
  const bool named = config >= 0;
  const QString settings = named ? arguments[config + 1] : DefaultSettingsPath();
  if (auto problem = ReadSettingsFile(settings, named, line.service)) {
    return Invalid(*problem, false);
  }

  bool modeGiven = false;
  bool notifyGiven = false;
  for (qsizetype i = 0; i < arguments.size(); ++i) {
    const QString& argument = arguments[i];
    if (argument == QLatin1String("--help") || argument == QLatin1String("--version")) {
      line.mode = argument == QLatin1String("--help") ? CommandLine::Mode::Help
                                                      : CommandLine::Mode::Version;
      return line;
    }
    if (argument == QLatin1String("--json")) {
      line.json = true;
      continue;
    }
    if (argument == QLatin1String("--bom")) {
      line.records.bom = line.records.exportOnly = true;
      continue;
    }
    if (argument == QLatin1String("--no-standby")) {
      line.service.standby = false;
      continue;
    }
    const std::pair<const char*, CommandLine::Mode> modes[] = {
        {"--once", CommandLine::Mode::Once},
        {"--headless", CommandLine::Mode::Headless},
        {"--init-db", CommandLine::Mode::InitDb},
        {"--latest", CommandLine::Mode::Latest},
        {"--history", CommandLine::Mode::History},
        {"--log", CommandLine::Mode::Log},
        {"--deliveries", CommandLine::Mode::Deliveries},
        {"--test-notify", CommandLine::Mode::TestNotify},
        {"--preview-notify", CommandLine::Mode::PreviewNotify},
        {"--redeliver", CommandLine::Mode::Redeliver},
        {"--export", CommandLine::Mode::Export},
        {"--backup", CommandLine::Mode::Backup},
        {"--check-db", CommandLine::Mode::CheckDb}};
    const auto mode = std::find_if(std::begin(modes), std::end(modes), [&](const auto& m) {
      return argument == QLatin1String(m.first);
    });
    if (mode != std::end(modes)) {
      if (modeGiven) return Invalid(QStringLiteral("choose one mode"));
      modeGiven = true;
      line.mode = mode->second;
      if (line.mode == CommandLine::Mode::Export || line.mode == CommandLine::Mode::Backup) {
        if (i + 1 >= arguments.size())
          return Invalid(QStringLiteral("%1 needs a value").arg(argument));
        if (auto problem = ReadRecordOption(argument, arguments[++i], line.records)) {
          return Invalid(*problem);
        }
        continue;
      }
      const auto valueFollows = [&] {
        return i + 1 < arguments.size() && !arguments[i + 1].startsWith(QLatin1String("--"));
      };
      if (line.mode == CommandLine::Mode::PreviewNotify) {
        if (!valueFollows()) continue;
        bool number = false;
        line.forecastId = arguments[++i].toLongLong(&number);
        if (!number || *line.forecastId <= 0) {
          return Invalid(QStringLiteral("--preview-notify takes the id of a stored forecast"));
        }
        continue;
      }
      if (line.mode == CommandLine::Mode::Redeliver) {
        while (valueFollows()) line.redeliver << arguments[++i];
        if (line.redeliver.isEmpty()) {
          return Invalid(QStringLiteral("--redeliver needs outbox row ids, event ids or given-up"));
        }
        continue;
      }
      if (line.mode != CommandLine::Mode::History && line.mode != CommandLine::Mode::Log &&
          line.mode != CommandLine::Mode::Deliveries) {
        continue;
      }
      if (i + 1 >= arguments.size() || !ParseCount(arguments[i + 1], line.count)) {
        return Invalid(QStringLiteral("%1 needs a number of rows from 1 to 9999999").arg(argument));
      }
      ++i;
      continue;
    }
    if (!argument.startsWith(QLatin1String("--"))) {
      return Invalid(QStringLiteral("unknown argument: %1").arg(argument));
    }
    if (i + 1 >= arguments.size()) return Invalid(QStringLiteral("%1 needs a value").arg(argument));
    const QString& value = arguments[++i];
    if (argument == QLatin1String("--config")) continue;
    if (argument == QLatin1String("--state")) {
      const QStringList states{kDeliveryPending, kDeliverySent, kDeliveryGivenUp};
      const qsizetype state = states.indexOf(QString(value).replace(u'-', u' '));
      if (state < 0) return Invalid(QStringLiteral("--state takes pending, sent or given-up"));
      line.deliveries.state = states[state];
      continue;
    }
    if (argument == QLatin1String("--channel")) {
      line.deliveries.channel = value;
      continue;
    }
    if (IsRecordOption(argument)) {
      if (auto problem = ReadRecordOption(argument, value, line.records)) return Invalid(*problem);
      continue;
    }
    // Channels given here replace the file's, as any other option does its key.
    if (argument == QLatin1String("--notify") && !std::exchange(notifyGiven, true)) {
      line.service.channels.clear();
    }
    const SettingKey* setting = FindSettingKey(QStringView(argument).mid(2));
    if (!setting) return Invalid(QStringLiteral("unknown argument: %1").arg(argument));
    if (auto problem = setting->read(value, line.service)) {
      return Invalid(QStringLiteral("%1 %2").arg(argument, *problem));
    }
  }
  if (line.json && line.mode != CommandLine::Mode::Latest &&
      line.mode != CommandLine::Mode::History && line.mode != CommandLine::Mode::Log &&
      line.mode != CommandLine::Mode::Deliveries) {
    return Invalid(QStringLiteral("--json goes with --latest, --history, --log or --deliveries"));
  }
  if (!line.deliveries.state.isEmpty() && line.mode != CommandLine::Mode::Deliveries) {
    return Invalid(QStringLiteral("--state goes with --deliveries"));
  }
  if (!line.deliveries.channel.isEmpty() && line.mode != CommandLine::Mode::Deliveries &&
      line.mode != CommandLine::Mode::Redeliver) {
    return Invalid(QStringLiteral("--channel goes with --deliveries or --redeliver"));
  }
  if (line.records.exportOnly && line.mode != CommandLine::Mode::Export) {
    return Invalid(
        QStringLiteral("--since, --until, --format, --bom and --output go with --export"));
  }
  return line;
}

}  // namespace skyloom

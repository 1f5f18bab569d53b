#include "app/settings_keys.h"

#include <QRegularExpression>
#include <QUrl>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <iterator>

#include "delivery/channel.h"
#include "http/listen_address.h"
#include "schedule/schedule_text.h"

namespace skyloom {
namespace {

// From a millisecond, below which a limit would round to none at all, to a day.
std::optional<QString> ReadSeconds(const QString& text, std::chrono::milliseconds& limit) {
  bool ok = false;
  const double seconds = text.toDouble(&ok);
  if (!ok || !(seconds >= 0.001 && seconds <= 86400)) {
    return QStringLiteral("needs a number of seconds from 0.001 to 86400");
  }
  limit = std::chrono::milliseconds(std::llround(seconds * 1000));
  return std::nullopt;
}

std::optional<QString> ReadAddress(const QString& value, ServiceSettings& settings) {
  const QUrl url(value.trimmed());
  const QString scheme = url.scheme();
  if (!url.isValid() || url.host().isEmpty() ||
      (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
    return QStringLiteral("needs an http:// or https:// address");
  }
  settings.address = value;
  return std::nullopt;
}

std::optional<QString> ReadDatabase(const QString& value, ServiceSettings& settings) {
  if (value.isEmpty()) return QStringLiteral("needs a file name or a URI");
  settings.databaseLocation = value;
  return std::nullopt;
}

std::optional<QString> ReadListen(const QString& value, ServiceSettings& settings) {
  if (!ParseListenAddress(value)) {
    return QStringLiteral("needs HOST:PORT (an IPv6 host in brackets, a port up to 65535)");
  }
  settings.listen = value;
  return std::nullopt;
}

// A command run on events of `kind`, under the name the kind table gives its setting.
template <EventKind kind>
std::optional<QString> ReadCommand(const QString& value, ServiceSettings& settings) {
  settings.commands[static_cast<size_t>(kind)] = value;
  return std::nullopt;
}

std::optional<QString> ReadMarker(const QString& value, QString& marker) {
  if (value.isEmpty()) return QStringLiteral("needs a text to cut the forecast at");
  marker = value;
  return std::nullopt;
}

std::optional<QString> ReadNotify(const QString& value, ServiceSettings& settings) {
  auto channel = ParseChannel(value);
  if (!channel) return channel.error();
  for (const NotifyChannel& known : settings.channels) {
    if (known.name == channel->name) {
      return QStringLiteral("names the channel %1 a second time").arg(known.name);
    }
  }
  settings.channels.push_back(std::move(*channel));
  return std::nullopt;
}

// Seconds, or a number with s, min, h or d; from a minute to thirty days.
std::optional<QString> ReadGiveUp(const QString& value, ServiceSettings& settings) {
  static const QRegularExpression form(QStringLiteral("^([0-9]{1,7})\\s*(s|min|h|d)?$"));
  const auto match = form.match(value.trimmed());
  const qint64 unit = !match.hasMatch()                           ? 0
                      : match.captured(2) == QLatin1String("min") ? 60
                      : match.captured(2) == QLatin1String("h")   ? 3600
                      : match.captured(2) == QLatin1String("d")   ? 86400
                                                                  : 1;
  const qint64 seconds = match.captured(1).toLongLong() * unit;
  if (seconds < 60 || seconds > 30 * 86400) {
    return QStringLiteral("needs a time from 60 s to 30 d, such as 3600, 90min, 24h or 2d");
  }
  settings.giveUp = std::chrono::seconds(seconds);
  return std::nullopt;
}

// Whole days, from one to a hundred years.
std::optional<QString> ReadDays(const QString& value, int& days) {
  bool ok = false;
  const int read = value.trimmed().toInt(&ok);
  if (!ok || read < 1 || read > 36500)
    return QStringLiteral("needs a number of days from 1 to 36500");
  days = read;
  return std::nullopt;
}

// New settings go here, each with the function that checks and keeps its value.
constexpr SettingKey kKeys[] = {
    {"url", ReadAddress},
    {"db", ReadDatabase},
    {"timeout",
     [](const QString& value, ServiceSettings& settings) {
       return ReadSeconds(value, settings.limits.whole);
     }},
    {"connect-timeout",
     [](const QString& value, ServiceSettings& settings) {
       return ReadSeconds(value, settings.limits.connect);
     }},
    {"db-connect-timeout",
     [](const QString& value, ServiceSettings& settings) {
       return ReadSeconds(value, settings.databaseLimits.connect);
     }},
    {"db-timeout",
     [](const QString& value, ServiceSettings& settings) {
       return ReadSeconds(value, settings.databaseLimits.statement);
     }},
    {"read-from",
     [](const QString& value, ServiceSettings& settings) {
       const std::pair<const char*, PgTarget> targets[] = {
           {"primary", PgTarget::Primary}, {"standby", PgTarget::Standby}, {"any", PgTarget::Any}};
       for (const auto& [name, target] : targets) {
         if (value == QLatin1String(name)) {
           settings.databaseLimits.readFrom = target;
           return std::optional<QString>();
         }
       }
       return std::optional<QString>(QStringLiteral("needs primary, standby or any"));
     }},
    {"listen", ReadListen},
    {"on-new", ReadCommand<EventKind::NewForecast>},
    {"on-failure", ReadCommand<EventKind::Failure>},
    {"on-recovery", ReadCommand<EventKind::Recovery>},
    {"begin-marker",
     [](const QString& value, ServiceSettings& settings) {
       return ReadMarker(value, settings.markers.begin);
     }},
    {"end-marker",
     [](const QString& value, ServiceSettings& settings) {
       return ReadMarker(value, settings.markers.end);
     }},
    {"standby",
     [](const QString& value, ServiceSettings& settings) {
       if (value != QLatin1String("never") && value != QLatin1String("auto")) {
         return std::optional<QString>(QStringLiteral("needs never or auto"));
       }
       settings.standby = value == QLatin1String("auto");
       return std::optional<QString>();
     }},
    {"lease-seconds",
     [](const QString& value, ServiceSettings& settings) {
       bool ok = false;
       const int seconds = value.toInt(&ok);
       if (!ok || seconds < 3 || seconds > 300) {
         return std::optional<QString>(
             QStringLiteral("needs a whole number of seconds from 3 to 300"));
       }
       settings.leaseTerm = std::chrono::seconds(seconds);
       return std::optional<QString>();
     }},
    {"windows",
     [](const QString& value, ServiceSettings& settings) {
       auto windows = ParseWindows(value);
       if (!windows) return std::optional<QString>(windows.error());
       settings.schedule.windows = std::move(*windows);
       return std::optional<QString>();
     }},
    {"notify", ReadNotify},
    {"notify-give-up", ReadGiveUp},
    {"keep-attempts",
     [](const QString& value, ServiceSettings& settings) {
       return ReadDays(value, settings.keepAttemptsDays);
     }},
    {"keep-deliveries",
     [](const QString& value, ServiceSettings& settings) {
       return ReadDays(value, settings.keepDeliveriesDays);
     }},
    {"interval",
     [](const QString& value, ServiceSettings& settings) {
       const auto minutes = ParseInterval(value);
       if (!minutes) return std::optional<QString>(minutes.error());
       settings.schedule.intervalMinutes = *minutes;
       return std::optional<QString>();
     }},
};

}  // namespace

const SettingKey* FindSettingKey(QStringView name) {
  const auto key = std::find_if(std::begin(kKeys), std::end(kKeys), [name](const SettingKey& k) {
    return name == QLatin1String(k.name);
  });
  return key == std::end(kKeys) ? nullptr : key;
}

}  // namespace skyloom

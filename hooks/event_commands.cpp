#include "hooks/event_commands.h"

namespace skyloom {

using namespace Qt::StringLiterals;

CommandJob CommandFor(const Event& event, const QString& command) {
  const QString key = NamesOf(event.kind).commandKey.toString();
  if (event.kind == EventKind::NewForecast) {
    return {key,
            command,
            u"New-forecast hook for forecast %1"_s.arg(event.forecastId),
            {{u"SKYLOOM_ID"_s, QString::number(event.forecastId)},
             {u"SKYLOOM_LOGTIME"_s, event.logtime}},
            event.text.toUtf8()};
  }
  const int failures = event.failures;
  return {key,
          command,
          u"Hook after %1 failed attempt%2"_s.arg(failures).arg(failures == 1 ? u""_s : u"s"_s),
          {
              {u"SKYLOOM_LOGTIME"_s, event.logtime},
              {u"SKYLOOM_STATUS"_s, event.status},
              {u"SKYLOOM_ERRNUM"_s, QString::number(event.number)},
              {u"SKYLOOM_DESCRIPTION"_s, event.description},
              {u"SKYLOOM_FAILURES"_s, QString::number(failures)},
          },
          {}};
}

}  // namespace skyloom

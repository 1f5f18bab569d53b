#include "hooks/event_commands.h"

namespace skyloom {

using namespace Qt::StringLiterals;

CommandJob NewForecastCommand(const QString& command, qint64 id, const QString& logtime,
                              const QString& text) {
  return {u"on_new"_s,
          command,
          u"New-forecast hook for forecast %1"_s.arg(id),
          {{u"SKYLOOM_ID"_s, QString::number(id)}, {u"SKYLOOM_LOGTIME"_s, logtime}},
          text.toUtf8()};
}

CommandJob AlertCommand(const QString& key, const QString& command, const StoreResult& stored,
                        const QString& logtime, int failures) {
  const AttemptRow& row = stored.logged;
  const bool logged = !stored.error;
  return {
      key,
      command,
      u"Hook after %1 failed attempt%2"_s.arg(failures).arg(failures == 1 ? u""_s : u"s"_s),
      {
          {u"SKYLOOM_LOGTIME"_s, logtime},
          {u"SKYLOOM_STATUS"_s, logged ? row.status : u"store error"_s},
          {u"SKYLOOM_ERRNUM"_s, QString::number(logged ? row.number : qint64{stored.error->code})},
          {u"SKYLOOM_DESCRIPTION"_s, logged ? row.description : stored.error->message},
          {u"SKYLOOM_FAILURES"_s, QString::number(failures)},
      },
      {}};
}

}  // namespace skyloom

#include "collecting/attempt.h"

#include "platform/clock.h"

namespace skyloom {

QStringList AttemptFields(const Attempt& attempt) {
  const QString time = LogTimeText(attempt.finishedAt);
  if (const auto& error = attempt.stored.error) {
    // Nothing was logged: the line must not read like a row of the log.
    return {time, QStringLiteral("store error"), error->message.section(u'\n', 0, 0)};
  }
  const AttemptRow& logged = attempt.stored.logged;
  return {time, logged.status, QString::number(logged.number), logged.description};
}

}  // namespace skyloom

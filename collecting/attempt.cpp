#include "collecting/attempt.h"

#include "history/slot_grid.h"
#include "platform/clock.h"

namespace skyloom {

QStringList AttemptFields(const Attempt& attempt) {
  const QString time = LogTimeText(attempt.finishedAt);
  if (const auto& error = attempt.stored.error) {
    // Nothing was logged: the line must not read like a row of the log.
    return {time, QStringLiteral("store error"), error->message.section(u'\n', 0, 0)};
  }
  const AttemptRow& logged = attempt.stored.logged;
  QStringList fields{time, logged.status, QString::number(logged.number), logged.description};
  // The log's words for it are those of an empty retrieval; say what happened.
  if (StateOf(logged) == SlotState::NothingExtracted) fields << kNothingExtracted;
  return fields;
}

}  // namespace skyloom

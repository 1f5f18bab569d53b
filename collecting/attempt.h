#pragma once

#include <QDateTime>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <optional>

#include "store/forecast_store.h"

namespace skyloom {

// What one fetch cycle did, as a value that crosses threads.
struct Attempt {
  bool timed = false;  // started by the schedule rather than by a person
  // A timed attempt whose turn passed to another collector on the way, neither stored nor
  // logged: the log must not read as two attempts for one slot.
  bool dropped = false;
  QDateTime finishedAt;  // local time the cycle ended
  QString shown;         // what the result box shows
  StoreResult stored;    // what the store kept and logged, and the events it committed
};

// The fields of the one line that tells what an attempt did: its time, the status word, the
// number and the description as logged, or the store's failure. Plain-text places join them
// as they need.
QStringList AttemptFields(const Attempt& attempt);

}  // namespace skyloom

Q_DECLARE_METATYPE(skyloom::Attempt)

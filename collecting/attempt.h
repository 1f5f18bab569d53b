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
  StoreResult stored;    // what the store kept and logged
  // The new row as the store keeps it, read back for whoever is told of new forecasts; nothing
  // unless one was stored and could be read back.
  std::optional<ForecastRow> newForecast;
};

// The fields of the one line that tells what an attempt did: its time, the status word, the
// number and the description as logged, or the store's failure. Plain-text places join them
// as they need.
QStringList AttemptFields(const Attempt& attempt);

}  // namespace skyloom

Q_DECLARE_METATYPE(skyloom::Attempt)

#pragma once

#include <QString>

#include "hooks/command_queue.h"
#include "store/forecast_store.h"

namespace skyloom {

// The run of `command` (on_new) for a forecast just stored: its text on standard input
// (UTF-8), SKYLOOM_ID and SKYLOOM_LOGTIME ("YYYY-MM-DD HH:MM:SS") in its environment.
CommandJob NewForecastCommand(const QString& command, qint64 id, const QString& logtime,
                              const QString& text);

// The run of an alert command (`key` is on_failure or on_recovery) for the attempt that ended
// at `logtime`: the attempt as tqlog holds it (after a store failure, which logged nothing,
// "store error" with the store's code and message), when it ended, and the failures in a row.
CommandJob AlertCommand(const QString& key, const QString& command, const StoreResult& stored,
                        const QString& logtime, int failures);

}  // namespace skyloom

#pragma once

#include <QString>

#include "hooks/command_queue.h"
#include "store/event.h"

namespace skyloom {

// The run of `command` for `event`, named by the event's setting. A new forecast: its text on
// standard input (UTF-8), SKYLOOM_ID and SKYLOOM_LOGTIME ("YYYY-MM-DD HH:MM:SS") in its
// environment. A failure or recovery: the attempt as tqlog holds it, when it was logged, and
// the failures in the run, in SKYLOOM_STATUS, SKYLOOM_ERRNUM, SKYLOOM_DESCRIPTION,
// SKYLOOM_LOGTIME and SKYLOOM_FAILURES.
CommandJob CommandFor(const Event& event, const QString& command);

}  // namespace skyloom

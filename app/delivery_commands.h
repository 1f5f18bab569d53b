#pragma once

#include "app/command_line.h"

namespace skyloom {

// --deliveries N: the newest outbox rows on standard output, as text or JSON. Exit status 0
// with rows, 3 when there are none, 1 when the database failed. It only reads.
int RunDeliveries(const CommandLine& line);

// --redeliver ID… or --redeliver given-up [--channel NAME]: the rows back to pending, each
// line on standard output. Exit status 0 when rows were put back, 3 when none matched, 1 when
// the database failed.
int RunRedeliver(const CommandLine& line);

// --preview-notify [FORECAST_ID]: the request every channel would get for the forecast, on
// standard output, with the address's keys masked. Nothing is sent and nothing is written.
// Exit status 0, 3 when there is no such forecast, 1 without channels or when the database
// failed.
int RunPreviewNotify(const CommandLine& line);

// --test-notify: a test message on every channel now, each answer on standard output. Nothing
// is written to the outbox. Exit status 0 when every channel took it, 1 otherwise.
int RunTestNotify(const CommandLine& line);

}  // namespace skyloom

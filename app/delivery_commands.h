#pragma once

#include "app/command_line.h"

namespace skyloom {

// --deliveries N: the newest outbox rows on standard output, as text or JSON. Exit status 0
// with rows, 3 when there are none, 1 when the database failed. It only reads.
int RunDeliveries(const CommandLine& line);

// --test-notify: a test message on every channel now, each answer on standard output. Nothing
// is written to the outbox. Exit status 0 when every channel took it, 1 otherwise.
int RunTestNotify(const CommandLine& line);

}  // namespace skyloom

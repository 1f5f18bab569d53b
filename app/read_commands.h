#pragma once

#include "app/command_line.h"

namespace skyloom {

// --latest, --history N and --log N: the newest rows on standard output, as text or JSON.
// Exit status 0 with rows, 3 when nothing is stored yet, 1 when the database failed (the
// reason on standard error). They only read: no file and no table is ever made.
int RunReadCommand(const CommandLine& line);

}  // namespace skyloom

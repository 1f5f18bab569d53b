#pragma once

#include "app/command_line.h"

namespace skyloom {

// One fetch cycle as a click on Get runs it, with the result box written to standard output.
// Returns 0 when the attempt was logged, 1 when the store failed.
int RunOnce(const CommandLine& line);

}  // namespace skyloom

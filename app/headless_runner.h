#pragma once

#include "app/command_line.h"

namespace skyloom {

// Collects on the daily schedule with no window and no display, until SIGINT or SIGTERM.
// Prints one line per timed fetch on standard output and store failures on standard error.
int RunHeadless(const CommandLine& line, int argc, char* argv[]);

}  // namespace skyloom

#pragma once

#include "app/command_line.h"

namespace skyloom {

// One fetch cycle as a click on Get runs it, with the result box written to standard output.
// Returns 0 when the attempt was logged, 1 when the store failed.
int RunOnce(const CommandLine& line);

// Creates the tables where they are missing and says so; 0 when they are there afterwards.
int RunInitDb(const CommandLine& line);

}  // namespace skyloom

#pragma once

#include "app/command_line.h"

namespace skyloom {

// --export TABLE: every row of a table in the span, oldest first, as CSV, JSON or NDJSON,
// read a page at a time so that memory stays flat whatever the size. Exit status 0 when all
// was written, 3 when there is no database file yet, 1 when the database or the output failed
// (the reason on standard error). A reader that goes away ends it quietly.
int RunExport(const CommandLine& line);

}  // namespace skyloom

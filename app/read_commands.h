#pragma once

#include <memory>

#include "app/command_line.h"
#include "store/forecast_store.h"

namespace skyloom {

// --latest, --history N and --log N: the newest rows on standard output, as text or JSON.
// Exit status 0 with rows, 3 when nothing is stored yet, 1 when the database failed (the
// reason on standard error). They only read: no file and no table is ever made.
int RunReadCommand(const CommandLine& line);

// The exit status of a read command when nothing is stored yet.
inline constexpr int kNothingStored = 3;

// The store the command line names, opened for reading (or as `access` says); nothing, and the
// reason on standard error, when it is a file that is not there yet: reading never makes it.
std::unique_ptr<ForecastStore> OpenForReading(const CommandLine& line,
                                              StoreAccess access = StoreAccess::ReadOnly);

}  // namespace skyloom

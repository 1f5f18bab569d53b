#pragma once

#include "app/command_line.h"

namespace skyloom {

// --backup FILE: a checked copy of the database file, taken while collectors write to it.
// Exit status 0 when the copy is in place, 1 when it is not (the reason on standard error);
// a server is backed up with its own tools.
int RunBackup(const CommandLine& line);

// --check-db: the schema version, the integrity check, the tables' counts and newest times.
// Exit status 0 when the database is sound, 1 when it is not, with the problem named.
int RunCheckDb(const CommandLine& line);

}  // namespace skyloom

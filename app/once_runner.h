#pragma once

#include <QString>
#include <optional>

#include "app/command_line.h"

namespace skyloom {

// The exit status of a program refused a database that a newer release made.
inline constexpr int kRefusedDatabase = 2;

// Why the database may not be written by this program, when a newer release made it.
std::optional<QString> NewerDatabase(const ServiceSettings& settings);

// One fetch cycle as a click on Get runs it, with the result box written to standard output.
// Returns 0 when the attempt was logged, 1 when the store failed, kRefusedDatabase.
int RunOnce(const CommandLine& line);

// Creates the tables where they are missing and says so; 0 when they are there afterwards.
int RunInitDb(const CommandLine& line);

}  // namespace skyloom

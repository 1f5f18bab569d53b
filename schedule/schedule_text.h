#pragma once

#include <QString>
#include <optional>
#include <vector>

#include "schedule/sync_schedule.h"

namespace skyloom {

// Comma-separated HH:MM[:SS]-HH:MM[:SS] ranges, blanks allowed around each, in any order:
// sorted into `windows`, or what is wrong with the text.
std::optional<QString> ParseWindows(const QString& text, std::vector<SyncWindow>& windows);

// Whole minutes from 1 to a day.
std::optional<QString> ParseInterval(const QString& text, int& minutes);

// The windows as ParseWindows reads them, seconds only where they are not 0.
QString WindowsText(const std::vector<SyncWindow>& windows);

}  // namespace skyloom

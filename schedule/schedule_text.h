#pragma once

#include <QString>
#include <expected>
#include <optional>
#include <vector>

#include "schedule/sync_schedule.h"

namespace skyloom {

// Comma-separated HH:MM[:SS]-HH:MM[:SS] ranges, blanks allowed around each, in any order:
// sorted into `windows`, or what is wrong with the text.
std::expected<std::vector<SyncWindow>, QString> ParseWindows(const QString& text);

// Whole minutes from 1 to a day.
std::expected<int, QString> ParseInterval(const QString& text);

// The windows as ParseWindows reads them, seconds only where they are not 0.
QString WindowsText(const std::vector<SyncWindow>& windows);

}  // namespace skyloom

#pragma once

#include <QString>

namespace skyloom {

// "1.5.3": major, minor and revision as plain decimals.
QString VersionText();

// The folder that holds the running executable, without a trailing separator.
QString ProgramFolder();

}  // namespace skyloom

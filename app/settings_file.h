#pragma once

#include <QString>
#include <optional>

#include "settings/service_settings.h"

namespace skyloom {

// Reads KEY = VALUE lines into `settings`, every value checked as it is read; what was
// wrong, naming the file, the line and the key. A missing file is fine unless `mustExist`.
std::optional<QString> ReadSettingsFile(const QString& path, bool mustExist,
                                        ServiceSettings& settings);

}  // namespace skyloom

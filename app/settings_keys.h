#pragma once

#include <QString>
#include <QStringView>
#include <optional>

#include "settings/service_settings.h"

namespace skyloom {

// One setting, with how its value is checked and kept. The command line spells the name
// with dashes (--db-timeout), the settings file with underscores (db_timeout); either way
// the same function reads the value, so both refuse the same values with the same words.
struct SettingKey {
  const char* name;  // as on the command line, without the dashes
  // What is wrong with `value`, said after the key's name ("needs …"); otherwise the value
  // is kept in `settings`.
  std::optional<QString> (*read)(const QString& value, ServiceSettings& settings);
};

// The key named `name` (dashes, no leading ones), or nothing.
const SettingKey* FindSettingKey(QStringView name);

}  // namespace skyloom

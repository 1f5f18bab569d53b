#pragma once

#include <QString>
#include <QStringList>
#include <optional>

#include "app/record_options.h"
#include "settings/service_settings.h"
#include "store/outbox.h"

namespace skyloom {

// The built-in page address: the provider's short forecast page.
QString DefaultPageAddress();
// tqyb.mdb in the program's folder, or in ~/.local/state/skyloom when that folder is not
// writable (an installed program).
QString DefaultDatabasePath();
// $XDG_CONFIG_HOME/skyloom/skyloom.conf, or ~/.config/skyloom/skyloom.conf.
QString DefaultSettingsPath();

struct CommandLine {
  enum class Mode {
    Window,
    Once,
    Headless,
    InitDb,
    Latest,
    History,
    Log,
    Deliveries,
    TestNotify,
    PreviewNotify,
    Redeliver,
    Export,
    Backup,
    CheckDb,
    Help,
    Version,
    Invalid
  };
  Mode mode = Mode::Window;
  ServiceSettings service;
  int count = 1;  // rows for --history, --log and --deliveries
  bool json = false;
  RecordOptions records;             // --export, --backup
  DeliveryFilter deliveries;         // --state and --channel, for --deliveries and --redeliver
  QStringList redeliver;             // --redeliver's row or event ids, or "given-up"
  std::optional<qint64> forecastId;  // --preview-notify's forecast; nothing: the newest
  QString problem;                   // what was wrong, for Mode::Invalid
  bool showUsage = false;            // whether the usage helps with the problem
};

// Arguments without the program name. Settings come from the settings file (--config FILE,
// or the default one when it exists); every option given here overrides its key there.
CommandLine ParseCommandLine(const QStringList& arguments);

QString UsageText();

}  // namespace skyloom

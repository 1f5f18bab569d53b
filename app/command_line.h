#pragma once

#include <QString>
#include <QStringList>

#include "platform/http_get.h"
#include "store/pg_store.h"

namespace skyloom {

// The built-in page address: the provider's short forecast page.
QString DefaultPageAddress();
// tqyb.mdb in the program's folder.
QString DefaultDatabasePath();

struct CommandLine {
  enum class Mode { Window, Once, Headless, InitDb, Help, Version, Invalid };
  Mode mode = Mode::Window;
  QString address;
  QString databasePath;
  HttpLimits limits;
  PgLimits databaseLimits;
  QString problem;  // what was wrong, for Mode::Invalid
};

// Arguments without the program name.
CommandLine ParseCommandLine(const QStringList& arguments);

QString UsageText();

}  // namespace skyloom

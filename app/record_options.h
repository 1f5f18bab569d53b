#pragma once

#include <QString>
#include <optional>

#include "store/forecast_store.h"

namespace skyloom {

// What --export and --backup are given.
struct RecordOptions {
  QString table;                           // forecasts, attempts or deliveries
  QString format = QStringLiteral("csv");  // csv, json or ndjson
  LogSpan span;
  bool bom = false;
  QString output;  // empty: standard output
  QString backupFile;
  bool exportOnly = false;  // an option that only --export takes was given
};

// Whether `argument` is an option of --export or --backup that takes a value.
bool IsRecordOption(const QString& argument);
// Keeps `value` for `argument`; what is wrong with it, if anything.
std::optional<QString> ReadRecordOption(const QString& argument, const QString& value,
                                        RecordOptions& options);

}  // namespace skyloom

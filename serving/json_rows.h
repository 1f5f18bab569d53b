#pragma once

#include <QByteArray>
#include <QString>
#include <optional>
#include <vector>

#include "store/forecast_store.h"

namespace skyloom {

// Bodies of the HTTP API: compact UTF-8 JSON.
QByteArray ForecastJson(const ForecastRow& row);
QByteArray ForecastsJson(const std::vector<ForecastRow>& rows);
QByteArray AttemptsJson(const std::vector<AttemptRow>& rows);
QByteArray ErrorJson(const QString& message);

// What GET /health tells; healthy when there is no reason.
struct HealthReport {
  std::optional<QString> lastAttempt;  // logtime of the newest attempt
  std::optional<QString> lastSuccess;  // logtime of the newest attempt that fetched a page
  QString reason;
};
QByteArray HealthJson(const HealthReport& report);

}  // namespace skyloom

#pragma once

#include <QByteArray>
#include <QString>
#include <optional>
#include <vector>

#include "serving/health.h"
#include "store/forecast_store.h"

namespace skyloom {

// Bodies of the HTTP API: compact UTF-8 JSON.
QByteArray ForecastJson(const ForecastRow& row);
QByteArray ForecastsJson(const std::vector<ForecastRow>& rows);
QByteArray AttemptsJson(const std::vector<AttemptRow>& rows);
QByteArray ErrorJson(const QString& message);

QByteArray HealthJson(const HealthReport& report);

}  // namespace skyloom

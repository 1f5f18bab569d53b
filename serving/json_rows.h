#pragma once

#include <QByteArray>
#include <QString>
#include <optional>
#include <vector>

#include "history/slot_grid.h"
#include "serving/health.h"
#include "store/forecast_store.h"

namespace skyloom {

// Bodies of the HTTP API: compact UTF-8 JSON.
QByteArray ForecastJson(const Event& forecast);
QByteArray ForecastJson(const ForecastRow& row);
QByteArray ForecastsJson(const std::vector<ForecastRow>& rows);
QByteArray AttemptsJson(const std::vector<AttemptRow>& rows);
QByteArray ErrorJson(const QString& message);
// Outbox rows without their message, which may be long; times as local logtimes.
QByteArray DeliveriesJson(const std::vector<DeliveryRow>& rows);

QByteArray HealthJson(const HealthReport& report);

// What the status page shows: the newest of `newestFirst` forecasts as stored and as a person
// reads it, what changed between the readable texts since the one after it, health, the slot
// picture, the temperatures the newest forecast of each of the picture's days names (from
// those of `newestFirst` stored on them), and the newest attempts.
QByteArray StatusJson(const std::vector<ForecastRow>& newestFirst, const HealthReport& health,
                      const SlotGrid& grid, const std::vector<AttemptRow>& newestAttempts);

}  // namespace skyloom

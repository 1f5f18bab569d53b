#pragma once

#include <QJsonObject>

#include "store/forecast_store.h"

namespace skyloom {

// The JSON shapes readers get, from the command line and over HTTP alike.
QJsonObject ForecastJson(const ForecastRow& row);  // {"id", "logtime", "text"}
QJsonObject AttemptJson(const AttemptRow& row);    // {"logtime", "status", "errnum", "description"}

}  // namespace skyloom

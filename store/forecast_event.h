#pragma once

#include "store/event.h"
#include "store/forecast_store.h"

namespace skyloom {

// A stored forecast as the event that brought it, for what tells of stored forecasts (the
// streams, the feed). Its id names the row; a NULL text is the null string.
Event EventFromForecast(const ForecastRow& row);

}  // namespace skyloom

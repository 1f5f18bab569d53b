#include "store/forecast_event.h"

namespace skyloom {

using namespace Qt::StringLiterals;

Event EventFromForecast(const ForecastRow& row) {
  Event event{.kind = EventKind::NewForecast,
              .id = u"forecast-"_s + QString::number(row.id),
              .logtime = row.logtime,
              .forecastId = row.id};
  if (row.text) {
    event.text = row.text->isNull() ? u""_s : *row.text;  // stored empty, not NULL
    event.fields = ParseForecastFields(event.text);
  }
  return event;
}

}  // namespace skyloom

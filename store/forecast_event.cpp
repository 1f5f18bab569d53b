#include "store/forecast_event.h"

namespace skyloom {

using namespace Qt::StringLiterals;

Event EventFromForecast(const ForecastRow& row) {
  // Stored empty, not NULL, is an empty text; a row read without its text has none.
  const QString text = !row.text ? QString() : row.text->isNull() ? u""_s : *row.text;
  Event event = NewForecastEvent(row.id, row.logtime, text, std::nullopt);
  event.id = u"forecast-"_s + QString::number(row.id);
  return event;
}

}  // namespace skyloom

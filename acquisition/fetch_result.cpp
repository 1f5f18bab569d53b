#include "acquisition/fetch_result.h"

namespace skyloom {

FetchResult ReadForecast(const PageResponse& page, const PageMarkers& markers) {
  if (page.errorNumber != 0) return FetchResult{page.errorNumber, page.errorDescription, {}};
  std::optional<QString> forecast = ExtractForecast(page.text, markers);
  if (forecast && forecast->isEmpty()) forecast.reset();
  return FetchResult{0, page.errorDescription, std::move(forecast)};
}

QString ResultBoxText(const FetchResult& fetch, const QString& forecast) {
  if (!fetch.RequestFailed()) return forecast;
  return QString::number(fetch.errorNumber) + QStringLiteral("\r\n") + fetch.errorDescription;
}

}  // namespace skyloom

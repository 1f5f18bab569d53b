#include "acquisition/fetch_result.h"

#include "acquisition/forecast_text.h"

namespace skyloom {

FetchResult ReadForecast(const PageResponse& page) {
  if (page.errorNumber != 0) return FetchResult{page.errorNumber, page.errorDescription, {}};
  return FetchResult{0, page.errorDescription, ExtractForecast(page.text)};
}

QString AttemptText(const FetchResult& fetch, const QString& previousText) {
  if (fetch.RequestFailed()) return kFailedRequestText;
  return fetch.forecast.value_or(previousText);
}

QString ResultBoxText(const FetchResult& fetch, const QString& attemptText) {
  if (!fetch.RequestFailed()) return attemptText;
  return QString::number(fetch.errorNumber) + QStringLiteral("\r\n") + fetch.errorDescription;
}

}  // namespace skyloom

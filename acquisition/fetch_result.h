#pragma once

#include <QString>
#include <optional>

#include "acquisition/forecast_text.h"
#include "acquisition/page_client.h"

namespace skyloom {

// What one attempt brought back: the request's error, if any, and the forecast it found.
struct FetchResult {
  qint32 errorNumber = 0;  // 0: a page arrived
  QString errorDescription;
  // Nothing when the request failed or nothing was cut out of the page: a marker missing,
  // the markers out of order, or only blanks and tags between them.
  std::optional<QString> forecast;

  bool RequestFailed() const { return errorNumber != 0; }
};

// The forecast of a downloaded page, or the error that kept the page away.
FetchResult ReadForecast(const PageResponse& page, const PageMarkers& markers = {});

// What the result box shows for an attempt: the error number and description after a failed
// request, else `forecast`, the last one cut out.
QString ResultBoxText(const FetchResult& fetch, const QString& forecast);

}  // namespace skyloom

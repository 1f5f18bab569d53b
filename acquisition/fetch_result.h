#pragma once

#include <QString>
#include <optional>

#include "acquisition/page_client.h"

namespace skyloom {

// What one attempt brought back: the request's error, if any, and the forecast it found.
struct FetchResult {
  qint32 errorNumber = 0;  // 0: a page arrived
  QString errorDescription;
  std::optional<QString> forecast;  // nothing when the request failed or the markers were missing

  bool RequestFailed() const { return errorNumber != 0; }
};

// Readers of the database have always seen this text stand for a failed request.
inline const QString kFailedRequestText = QStringLiteral("error");

// The forecast of a downloaded page, or the error that kept the page away.
FetchResult ReadForecast(const PageResponse& page);

// The text an attempt stands for: the forecast it found; after a failed request "error"; a
// page without both markers in order keeps the text of the attempt before.
QString AttemptText(const FetchResult& fetch, const QString& previousText);

// What the result box shows for an attempt: the error number and description, or its text.
QString ResultBoxText(const FetchResult& fetch, const QString& attemptText);

}  // namespace skyloom

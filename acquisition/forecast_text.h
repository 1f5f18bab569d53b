#pragma once

#include <QString>
#include <optional>

namespace skyloom {

inline constexpr char16_t kBeginMarker[] = u"<!-- begin -->";
inline constexpr char16_t kEndMarker[] = u"<div align=\"right\"><b>今天";

// The two texts the forecast is cut between, compared exactly.
struct PageMarkers {
  QString begin = QString::fromUtf16(kBeginMarker);
  QString end = QString::fromUtf16(kEndMarker);
};

// Leading and trailing U+0020 removed; other white space stays.
QString TrimBlanks(const QString& text);

// The forecast between the page's markers, without tags, blanks, CR LF pairs and ideographic
// spaces, with both issue-time headings rewritten. Nothing when a marker is missing or they
// are out of order.
std::optional<QString> ExtractForecast(const QString& page, const PageMarkers& markers = {});

}  // namespace skyloom

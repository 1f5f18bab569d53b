#pragma once

#include <QString>
#include <optional>

namespace skyloom {

inline constexpr char16_t kBeginMarker[] = u"<!-- begin -->";
inline constexpr char16_t kEndMarker[] = u"<div align=\"right\"><b>今天";

// Leading and trailing U+0020 removed; other white space stays.
QString TrimBlanks(const QString& text);

// The forecast between the page's markers, without tags, blanks, CR LF pairs and ideographic
// spaces, with both issue-time headings rewritten. Nothing when the markers are missing or
// out of order.
std::optional<QString> ExtractForecast(const QString& page);

}  // namespace skyloom

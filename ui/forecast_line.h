#pragma once

#include <QString>

namespace skyloom {

// The beginning of a stored forecast on one line, as a person reads it: "&nbsp;" as a
// non-breaking space, other runs of white space as one blank, and an ellipsis after at most
// `mostChars` characters when there is more.
QString ForecastLine(const QString& stored, qsizetype mostChars);

}  // namespace skyloom

#include "ui/forecast_line.h"

#include "forecast/readable_text.h"

namespace skyloom {

QString ForecastLine(const QString& stored, qsizetype mostChars) {
  const QString readable = ReadableForecast(stored);
  QString line;
  bool gap = false;
  for (const QChar c : readable) {
    if (line.size() > mostChars) break;
    // Qt counts a non-breaking space as white space; here it is part of the text's layout.
    if (c.isSpace() && c != QChar::Nbsp) {
      gap = !line.isEmpty();
      continue;
    }
    if (gap) line += u' ';
    gap = false;
    line += c;
  }
  if (line.size() <= mostChars) return line;
  const bool split = line.at(mostChars - 1).isHighSurrogate();
  line.truncate(mostChars - (split ? 1 : 0));
  if (line.endsWith(u' ')) line.chop(1);
  return line + QChar(0x2026);
}

}  // namespace skyloom

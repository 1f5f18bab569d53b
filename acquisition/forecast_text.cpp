#include "acquisition/forecast_text.h"

#include "acquisition/strip_tags.h"

namespace skyloom {
namespace {

const QString kCoastalHeading = QStringLiteral("点钟发布的沿海大风警报和天气预报");
const QString kPlainHeading = QStringLiteral("点钟发布的天气预报");
// Entities are kept as written: readers of the stored text rely on the three "&nbsp;".
const QString kHeadingReplacement = QStringLiteral("点钟发布：&nbsp;&nbsp;&nbsp;");

}  // namespace

QString TrimBlanks(const QString& text) {
  qsizetype begin = 0;
  qsizetype end = text.size();
  while (begin < end && text[begin] == QLatin1Char(' ')) ++begin;
  while (end > begin && text[end - 1] == QLatin1Char(' ')) --end;
  if (begin == 0 && end == text.size()) return text;
  return text.sliced(begin, end - begin);
}

std::optional<QString> ExtractForecast(const QString& page, const PageMarkers& markers) {
  // Without its begin marker a page holds no forecast: cutting from a fixed position would
  // store the page's head as one.
  const qsizetype beginIndex = page.indexOf(markers.begin);
  if (beginIndex < 0) return std::nullopt;
  const qsizetype start = beginIndex + markers.begin.size();
  const qsizetype end = page.indexOf(markers.end, start);
  if (end <= start) return std::nullopt;

  QString text = StripTags(page.sliced(start, end - start));
  text.remove(QLatin1Char(' '));
  text.remove(QStringLiteral("\r\n"));
  text.remove(QChar(0x3000));
  text = TrimBlanks(text.replace(kCoastalHeading, kHeadingReplacement));
  text = TrimBlanks(text.replace(kPlainHeading, kHeadingReplacement));
  return text;
}

}  // namespace skyloom

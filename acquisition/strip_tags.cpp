#include "acquisition/strip_tags.h"

namespace skyloom {

QString StripTags(const QString& text) {
  QString kept;
  qsizetype from = 0;
  for (;;) {
    const qsizetype lt = text.indexOf(QLatin1Char('<'), from);
    if (lt < 0) break;
    const qsizetype gt = text.indexOf(QLatin1Char('>'), from);
    if (gt < lt) break;  // also when there is no ">" at all
    if (kept.isEmpty()) kept.reserve(text.size());
    kept.append(QStringView(text).sliced(from, lt - from));
    from = gt + 1;
  }
  if (from == 0) return text;
  kept.append(QStringView(text).sliced(from));
  return kept;
}

}  // namespace skyloom

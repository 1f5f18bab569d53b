#include "support/strip_tags_as_written.h"

namespace skyloom::test {

QString StripTagsAsWritten(QString text) {
  for (;;) {
    if (!text.contains(QLatin1Char('<'))) break;
    const qsizetype lt = text.indexOf(QLatin1Char('<')) + 1;  // 1-based, 0 when absent
    const qsizetype gt = text.indexOf(QLatin1Char('>')) + 1;
    if (lt > gt) break;
    text = text.left(lt - 1) + text.mid(gt);
  }
  return text;
}

}  // namespace skyloom::test

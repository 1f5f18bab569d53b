#include "app/terminal_text.h"

namespace skyloom {

QString TerminalText(QString text) {
  for (qsizetype i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i].unicode();
    // CR LF is a line break, as the result box writes one; a CR alone would overwrite.
    const bool lineBreak = unit == u'\n' || unit == u'\t' ||
                           (unit == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n');
    if ((unit < 0x20 && !lineBreak) || (unit >= 0x7f && unit <= 0x9f)) {
      text[i] = QChar::ReplacementCharacter;
    }
  }
  return text;
}

}  // namespace skyloom

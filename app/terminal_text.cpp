#include "app/terminal_text.h"

namespace skyloom {

QString TerminalText(QString text) {
  for (qsizetype i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i].unicode();
    // A CR that ends a line, as in the result box's "number\r\ndescription", moves nothing.
    const bool lineEnd = unit == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n';
    if ((unit < 0x20 && unit != u'\t' && unit != u'\n' && !lineEnd) ||
        (unit >= 0x7f && unit <= 0x9f)) {
      text[i] = QChar::ReplacementCharacter;
    }
  }
  return text;
}

}  // namespace skyloom

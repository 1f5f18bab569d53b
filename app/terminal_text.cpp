#include "app/terminal_text.h"

namespace skyloom {

QString TerminalText(QString text) {
  for (QChar& c : text) {
    const char16_t unit = c.unicode();
    if ((unit < 0x20 && unit != u'\t' && unit != u'\n') || (unit >= 0x7f && unit <= 0x9f)) {
      c = QChar::ReplacementCharacter;
    }
  }
  return text;
}

}  // namespace skyloom

#pragma once

#include <QString>

namespace skyloom {

// Text for a terminal: every C0 and C1 control character but tab and a line break (LF, or
// CR LF) shown as U+FFFD: ESC, BEL, a lone CR, CSI… could move the cursor, retitle the
// window or ring the bell.
// For plain-text output only; JSON escapes them, and stored text keeps them.
QString TerminalText(QString text);

}  // namespace skyloom

#pragma once

#include <QString>

namespace skyloom {

// Text for a terminal: every C0 and C1 control character but tab and newline (ESC, BEL, CR,
// CSI…, which could move the cursor, retitle the window or ring the bell) shown as U+FFFD.
// For plain-text output only; JSON escapes them, and stored text keeps them.
QString TerminalText(QString text);

}  // namespace skyloom

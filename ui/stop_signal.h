#pragma once

class QWidget;

namespace skyloom {

// Closes `window` on SIGINT or SIGTERM, so a session manager or a terminal ends the
// program the same way as the window's close button.
void CloseOnStopSignal(QWidget& window);

}  // namespace skyloom

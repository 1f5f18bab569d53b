#pragma once

#include <functional>

class QObject;

namespace skyloom {

// Runs `stop` on the event loop of `context`'s thread when SIGINT or SIGTERM arrives, so a
// terminal, systemd or a session manager ends the program as cleanly as its own controls.
void OnStopSignal(QObject& context, std::function<void()> stop);

}  // namespace skyloom

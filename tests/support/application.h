#pragma once

#include <functional>

class QCoreApplication;

namespace skyloom::test {

// Signal spies, queued calls and QProcess need an application object; the first call makes
// the test program's one.
QCoreApplication& Application();

// Runs the event loop until `done` holds; false at the bound.
bool Eventually(const std::function<bool()>& done, int boundMs = 20'000);

}  // namespace skyloom::test

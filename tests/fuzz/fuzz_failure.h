#pragma once

#include <QStringView>

namespace skyloom::fuzz {

// Prints what went wrong and aborts, which libFuzzer records as a crash with its input.
[[noreturn]] void Fail(const char* what);
[[noreturn]] void Fail(const char* what, QStringView expected, QStringView actual);

}  // namespace skyloom::fuzz

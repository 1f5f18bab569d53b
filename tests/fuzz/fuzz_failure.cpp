#include "fuzz_failure.h"

#include <QByteArray>
#include <cstdio>
#include <cstdlib>

namespace skyloom::fuzz {
namespace {

// Every unit outside printable ASCII as \uXXXX, so a report shows exactly which units differ.
QByteArray Escaped(QStringView text) {
  QByteArray escaped;
  for (const QChar unit : text) {
    const char16_t u = unit.unicode();
    if (u >= 0x20 && u < 0x7F && u != u'\\') {
      escaped.append(static_cast<char>(u));
    } else {
      char code[8];
      std::snprintf(code, sizeof code, "\\u%04X", static_cast<unsigned>(u));
      escaped.append(code);
    }
  }
  return escaped;
}

}  // namespace

void Fail(const char* what) {
  std::fprintf(stderr, "FUZZ CHECK FAILED: %s\n", what);
  std::abort();
}

void Fail(const char* what, QStringView expected, QStringView actual) {
  std::fprintf(stderr, "FUZZ CHECK FAILED: %s\n  expected: \"%s\"\n  actual:   \"%s\"\n", what,
               Escaped(expected).constData(), Escaped(actual).constData());
  std::abort();
}

}  // namespace skyloom::fuzz

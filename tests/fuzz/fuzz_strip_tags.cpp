// The one-pass StripTags against the tag stripping as first written.

#include <QString>
#include <cstddef>
#include <cstdint>

#include "acquisition/strip_tags.h"
#include "fuzz_failure.h"
#include "support/strip_tags_as_written.h"

namespace {

// The reference is quadratic; longer inputs only slow the search down.
constexpr size_t kMaxInput = 4096;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxInput) return -1;
  // Only "<" and ">" steer the algorithm; UTF-8 keeps the seeds readable and still gives
  // every other character, surrogate pairs included.
  const QString text =
      QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
  const QString expected = skyloom::test::StripTagsAsWritten(text);
  const QString actual = skyloom::StripTags(text);
  if (actual != expected)
    skyloom::fuzz::Fail("StripTags differs from the original", expected, actual);
  return 0;
}

// The whole page path, bytes to forecast text, against the extraction written out step by
// step with 1-based positions, hand-made searches and the original tag stripping.

#include <QString>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "acquisition/forecast_text.h"
#include "fuzz_failure.h"
#include "platform/gb_decoder.h"
#include "support/strip_tags_as_written.h"

namespace {

// The reference strips tags in quadratic time; longer pages only slow the search down.
constexpr size_t kMaxInput = 4096;

constexpr char16_t kBegin[] = u"<!-- begin -->";
constexpr char16_t kEnd[] = u"<div align=\"right\"><b>今天";
constexpr char16_t kCoastal[] = u"点钟发布的沿海大风警报和天气预报";
constexpr char16_t kPlain[] = u"点钟发布的天气预报";
constexpr char16_t kRewritten[] = u"点钟发布：&nbsp;&nbsp;&nbsp;";

// 1-based position of the first `what` at or after `start`; 0 when there is none.
qsizetype Find(QStringView text, qsizetype start, QStringView what) {
  for (qsizetype at = start; at - 1 + what.size() <= text.size(); ++at)
    if (text.sliced(at - 1, what.size()) == what) return at;
  return 0;
}

QString ReplaceAll(QStringView text, QStringView what, QStringView with) {
  QString result;
  qsizetype from = 1;
  for (qsizetype at; (at = Find(text, from, what)) != 0; from = at + what.size()) {
    result += text.sliced(from - 1, at - from);
    result += with;
  }
  result += text.sliced(from - 1);
  return result;
}

QString Trim(QStringView text) {
  while (text.startsWith(u' ')) text = text.sliced(1);
  while (text.endsWith(u' ')) text.chop(1);
  return text.toString();
}

std::optional<QString> ExtractStepByStep(QStringView page) {
  const qsizetype begin = Find(page, 1, kBegin);
  if (begin == 0) return std::nullopt;
  const qsizetype start = begin + 14;
  const qsizetype end = Find(page, start, kEnd);
  if (!(start < end)) return std::nullopt;
  QString text = skyloom::test::StripTagsAsWritten(page.sliced(start - 1, end - start).toString());
  text = ReplaceAll(text, u" ", u"");
  text = ReplaceAll(text, u"\r\n", u"");
  text = ReplaceAll(text, u"\u3000", u"");
  text = Trim(ReplaceAll(text, kCoastal, kRewritten));
  return Trim(ReplaceAll(text, kPlain, kRewritten));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using skyloom::fuzz::Fail;
  if (size > kMaxInput) return -1;
  const QString page = skyloom::DecodeGb2312(
      QByteArrayView(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));
  const std::optional<QString> actual = skyloom::ExtractForecast(page);
  const std::optional<QString> expected = ExtractStepByStep(page);

  if (actual.has_value() != expected.has_value())
    Fail(actual ? "text extracted from a page without markers in order"
                : "no text extracted although the markers are in order");
  if (!actual) return 0;
  if (*actual != *expected) Fail("extracted text differs", *expected, *actual);

  // Removals and rewrites can join a new CR LF pair, but never a blank, an ideographic
  // space or a heading: the rewritten heading holds none of them.
  if (actual->contains(u' ')) Fail("a blank is left");
  if (actual->contains(QChar(0x3000))) Fail("an ideographic space is left");
  if (actual->contains(QStringView(kCoastal)) || actual->contains(QStringView(kPlain)))
    Fail("a heading is left unrewritten");
  return 0;
}

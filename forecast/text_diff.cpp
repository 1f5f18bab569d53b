#include "forecast/text_diff.h"

#include <QList>
#include <algorithm>
#include <cstdint>

namespace skyloom {
namespace {

// What QString::toUcs4 gives: one code point an element.
using Chars = QList<uint>;

// The table of common lengths has one cell per pair of changed characters: 4 Mi cells (8 MiB,
// some milliseconds) covers two forecasts of 2000 changed characters each. Beyond that the
// changed middle is shown as deleted and inserted whole, so a huge row cannot stall the window.
constexpr qint64 kMaxCells = qint64{1} << 22;

void Append(std::vector<DiffSpan>& spans, DiffSpan::Kind kind, const Chars& text, qsizetype from,
            qsizetype count) {
  if (count <= 0) return;
  const QString part =
      QString::fromUcs4(reinterpret_cast<const char32_t*>(text.constData()) + from, count);
  if (!spans.empty() && spans.back().kind == kind) {
    spans.back().text += part;
  } else {
    spans.push_back(DiffSpan{kind, part});
  }
}

// Longest common subsequence of a and b, walked from the front.
void DiffMiddle(std::vector<DiffSpan>& spans, const Chars& a, qsizetype aFrom, qsizetype n,
                const Chars& b, qsizetype bFrom, qsizetype m) {
  if (n == 0 || m == 0 || n * m > kMaxCells) {
    Append(spans, DiffSpan::Kind::Deleted, a, aFrom, n);
    Append(spans, DiffSpan::Kind::Inserted, b, bFrom, m);
    return;
  }
  // common[i][j]: the common length of a[i..] and b[j..]; it never exceeds min(n, m), which
  // the cell limit keeps below 2^16.
  const qsizetype width = m + 1;
  std::vector<std::uint16_t> common(static_cast<size_t>((n + 1) * width), 0);
  for (qsizetype i = n - 1; i >= 0; --i) {
    for (qsizetype j = m - 1; j >= 0; --j) {
      common[i * width + j] =
          a[aFrom + i] == b[bFrom + j]
              ? static_cast<std::uint16_t>(common[(i + 1) * width + j + 1] + 1)
              : std::max(common[(i + 1) * width + j], common[i * width + j + 1]);
    }
  }
  qsizetype i = 0;
  qsizetype j = 0;
  while (i < n && j < m) {
    if (a[aFrom + i] == b[bFrom + j]) {
      Append(spans, DiffSpan::Kind::Same, a, aFrom + i, 1);
      ++i;
      ++j;
    } else if (common[(i + 1) * width + j] >= common[i * width + j + 1]) {
      Append(spans, DiffSpan::Kind::Deleted, a, aFrom + i, 1);
      ++i;
    } else {
      Append(spans, DiffSpan::Kind::Inserted, b, bFrom + j, 1);
      ++j;
    }
  }
  Append(spans, DiffSpan::Kind::Deleted, a, aFrom + i, n - i);
  Append(spans, DiffSpan::Kind::Inserted, b, bFrom + j, m - j);
}

}  // namespace

std::vector<DiffSpan> DiffCharacters(const QString& before, const QString& after) {
  // Whole code points, so a character outside the BMP is never split in two.
  const Chars a = before.toUcs4();
  const Chars b = after.toUcs4();
  qsizetype prefix = 0;
  while (prefix < a.size() && prefix < b.size() && a[prefix] == b[prefix]) ++prefix;
  qsizetype suffix = 0;
  while (suffix < a.size() - prefix && suffix < b.size() - prefix &&
         a[a.size() - 1 - suffix] == b[b.size() - 1 - suffix]) {
    ++suffix;
  }

  std::vector<DiffSpan> spans;
  Append(spans, DiffSpan::Kind::Same, a, 0, prefix);
  DiffMiddle(spans, a, prefix, a.size() - prefix - suffix, b, prefix, b.size() - prefix - suffix);
  Append(spans, DiffSpan::Kind::Same, a, a.size() - suffix, suffix);
  return spans;
}

}  // namespace skyloom

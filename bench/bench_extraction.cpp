#include <benchmark/benchmark.h>

#include <QByteArray>
#include <QFile>
#include <QString>
#include <map>
#include <optional>

#include "acquisition/forecast_text.h"
#include "acquisition/strip_tags.h"
#include "platform/gb_decoder.h"
#include "support/strip_tags_as_written.h"

namespace {

constexpr int64_t kKiB = 1024;
constexpr int64_t kMiB = 1024 * kKiB;

// A page the size of `size` bytes, made from the sample page by repeating the forecast
// paragraphs between its markers, so nearly all of it is text the extraction has to walk.
struct Page {
  QByteArray bytes;  // GB2312, as it arrives
  QString text;      // decoded
};

std::optional<Page> BuildPage(int64_t size) {
  QFile file(QStringLiteral(SKYLOOM_TEST_DATA "/shortnb_output.html"));
  if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
  const QByteArray sample = file.readAll();

  // Both markers are ASCII up to the first Chinese character, and GB2312 bytes never fall in
  // the ASCII range, so the split can be made on the bytes.
  const QByteArray begin = QByteArrayLiteral("<!-- begin -->");
  const QByteArray end = QByteArrayLiteral("<div align=\"right\"><b>");
  const qsizetype bodyStart = sample.indexOf(begin);
  const qsizetype bodyEnd = sample.indexOf(end);
  if (bodyStart < 0 || bodyEnd <= bodyStart) return std::nullopt;
  const QByteArray head = sample.left(bodyStart + begin.size());
  const QByteArray body = sample.mid(head.size(), bodyEnd - head.size());
  const QByteArray tail = sample.mid(bodyEnd);

  Page page;
  page.bytes.reserve(size + body.size());
  page.bytes.append(head);
  while (page.bytes.size() + body.size() + tail.size() <= size) page.bytes.append(body);
  page.bytes.append(tail);
  page.text = skyloom::DecodeGb2312(page.bytes);
  return page;
}

// Built once per size: the 8 MiB page would otherwise be rebuilt for every benchmark.
const Page* PageOfSize(int64_t size) {
  static std::map<int64_t, std::optional<Page>> pages;
  auto found = pages.find(size);
  if (found == pages.end()) found = pages.emplace(size, BuildPage(size)).first;
  return found->second ? &*found->second : nullptr;
}

// Throughput is counted in bytes of the page as downloaded, the same measure for every
// stage; "chars" counts the UTF-16 units that the text stages walk.
void Account(benchmark::State& state, const Page& page) {
  state.SetBytesProcessed(state.iterations() * page.bytes.size());
  state.SetComplexityN(page.bytes.size());
  state.counters["chars"] = benchmark::Counter(static_cast<double>(page.text.size()),
                                               benchmark::Counter::kIsIterationInvariantRate);
}

void BM_DecodeGb2312(benchmark::State& state) {
  const Page* page = PageOfSize(state.range(0));
  if (!page) return state.SkipWithError("sample page missing or without markers");
  for (auto _ : state) {
    QString text = skyloom::DecodeGb2312(page->bytes);
    benchmark::DoNotOptimize(text);
  }
  Account(state, *page);
}

void BM_StripTags(benchmark::State& state) {
  const Page* page = PageOfSize(state.range(0));
  if (!page) return state.SkipWithError("sample page missing or without markers");
  for (auto _ : state) {
    QString text = skyloom::StripTags(page->text);
    benchmark::DoNotOptimize(text);
  }
  Account(state, *page);
}

void BM_ExtractForecast(benchmark::State& state) {
  const Page* page = PageOfSize(state.range(0));
  if (!page) return state.SkipWithError("sample page missing or without markers");
  if (!skyloom::ExtractForecast(page->text)) return state.SkipWithError("markers not found");
  for (auto _ : state) {
    std::optional<QString> text = skyloom::ExtractForecast(page->text);
    benchmark::DoNotOptimize(text);
  }
  Account(state, *page);
}

void BM_StripTagsAsWritten(benchmark::State& state) {
  const Page* page = PageOfSize(state.range(0));
  if (!page) return state.SkipWithError("sample page missing or without markers");
  for (auto _ : state) {
    QString text = skyloom::test::StripTagsAsWritten(page->text);
    benchmark::DoNotOptimize(text);
  }
  Account(state, *page);
}

// 64 KiB, 256 KiB, 1 MiB, 4 MiB and 8 MiB: five points for the linear fit.
BENCHMARK(BM_DecodeGb2312)
    ->RangeMultiplier(4)
    ->Range(64 * kKiB, 8 * kMiB)
    ->Unit(benchmark::kMicrosecond)
    ->Complexity(benchmark::oN);
BENCHMARK(BM_StripTags)
    ->RangeMultiplier(4)
    ->Range(64 * kKiB, 8 * kMiB)
    ->Unit(benchmark::kMicrosecond)
    ->Complexity(benchmark::oN);
BENCHMARK(BM_ExtractForecast)
    ->RangeMultiplier(4)
    ->Range(64 * kKiB, 8 * kMiB)
    ->Unit(benchmark::kMicrosecond)
    ->Complexity(benchmark::oN);
// Quadratic: each tag removed copies the whole remaining text, so larger pages take minutes.
BENCHMARK(BM_StripTagsAsWritten)
    ->RangeMultiplier(2)
    ->Range(16 * kKiB, 256 * kKiB)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oNSquared);

}  // namespace

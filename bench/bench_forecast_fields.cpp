#include <benchmark/benchmark.h>

#include <QFile>
#include <QString>
#include <map>

#include "forecast/forecast_fields.h"

namespace {

constexpr int64_t kKiB = 1024;
constexpr int64_t kMiB = 1024 * kKiB;

// Texts of `size` UTF-16 units, built once per size.
template <QString (*Make)(int64_t)>
const QString& TextOfSize(int64_t size) {
  static std::map<int64_t, QString> texts;
  auto found = texts.find(size);
  if (found == texts.end()) found = texts.emplace(size, Make(size)).first;
  return found->second;
}

// The sample forecast repeated: two bulletins every 170 characters, every kind of field.
QString Bulletins(int64_t size) {
  QFile file(QStringLiteral(SKYLOOM_TEST_DATA "/shortnb_output.expected.txt"));
  if (!file.open(QIODevice::ReadOnly)) return {};
  const QString sample = QString::fromUtf8(file.readAll());
  return sample.repeated(size / sample.size() + 1).left(size);
}

// One heading, then a single clause of the size with nothing to end it: every reader tries
// it whole, and a reader that backtracked or searched it again per character would show.
QString OneLongClause(int64_t size) {
  const QString heading = QStringLiteral("市气象台今天17点钟发布：今天：");
  return heading + QStringLiteral("东北风阵风4到").repeated(size / 7 + 1).left(size);
}

// And one of headings only, each with a long issuer to read back over.
QString Headings(int64_t size) {
  const QString heading = QStringLiteral("。%1今天17点钟发布：").arg(QString(200, u'台'));
  return heading.repeated(size / heading.size() + 1).left(size);
}

template <QString (*Make)(int64_t)>
void BM_ParseForecastFields(benchmark::State& state) {
  const QString& text = TextOfSize<Make>(state.range(0));
  if (text.isEmpty()) return state.SkipWithError("sample forecast missing");
  if (!skyloom::ParseForecastFields(text)) return state.SkipWithError("no bulletin read");
  for (auto _ : state) {
    auto fields = skyloom::ParseForecastFields(text);
    benchmark::DoNotOptimize(fields);
  }
  state.SetItemsProcessed(state.iterations() * text.size());
  state.SetComplexityN(text.size());
}

// 64 Ki to 4 Mi characters: five points for the linear fit.
BENCHMARK(BM_ParseForecastFields<Bulletins>)
    ->RangeMultiplier(4)
    ->Range(64 * kKiB, 4 * kMiB)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);
BENCHMARK(BM_ParseForecastFields<OneLongClause>)
    ->RangeMultiplier(4)
    ->Range(64 * kKiB, 4 * kMiB)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);
BENCHMARK(BM_ParseForecastFields<Headings>)
    ->RangeMultiplier(4)
    ->Range(64 * kKiB, 4 * kMiB)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

}  // namespace

#include "app/once_runner.h"

#include <cstdio>

#include "app/collector.h"

namespace skyloom {
namespace {

class LastResult final : public ResultView {
 public:
  void ShowResult(const QString& text) override { text_ = text; }
  const QString& Text() const { return text_; }

 private:
  QString text_;
};

}  // namespace

int RunOnce(const CommandLine& line) {
  const SystemClock clock;
  Collector collector(clock, ForecastStore(line.databasePath), line.limits);
  LastResult result;
  const auto error = collector.FetchForecast(line.address, result);
  const QByteArray shown = result.Text().toUtf8();
  std::fwrite(shown.constData(), 1, static_cast<size_t>(shown.size()), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  if (error) {
    std::fprintf(stderr, "skyloom: the attempt was not stored: %s\n",
                 error->message.toUtf8().constData());
    return 1;
  }
  return 0;
}

}  // namespace skyloom

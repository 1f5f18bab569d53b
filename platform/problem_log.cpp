#include "platform/problem_log.h"

#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>

namespace skyloom {

void ReportProblem(const QString& line) {
  using Clock = std::chrono::steady_clock;
  constexpr auto kQuiet = std::chrono::minutes(1);
  static std::mutex mutex;
  // Never destroyed: a thread stuck past the exit handlers may still report.
  static auto* const said = new std::map<QString, Clock::time_point>;
  const Clock::time_point now = Clock::now();
  const std::lock_guard lock(mutex);
  if (said->size() > 100)
    std::erase_if(*said, [&](const auto& e) { return now - e.second > kQuiet; });
  const auto [entry, fresh] = said->try_emplace(line, now);
  if (!fresh && now - entry->second < kQuiet) return;
  entry->second = now;
  std::fprintf(stderr, "skyloom: %s\n", line.toUtf8().constData());
  std::fflush(stderr);
}

}  // namespace skyloom

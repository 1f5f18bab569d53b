#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serving/failure_alerts.h"
#include "serving/health.h"

namespace skyloom {
namespace {

using namespace Qt::StringLiterals;

AttemptRow Logged(const char* logtime, qint64 number) {
  return AttemptRow{u"2026-12-07 "_s + QString::fromLatin1(logtime),
                    number == 0 ? kStatusFetched : kStatusFetchError,
                    number,
                    number == 0    ? kNotWritten
                    : number == -1 ? kEmptyText
                                   : u"timeout"_s,
                    {}};
}

struct HealthCase {
  const char* name;
  std::vector<AttemptRow> newestFirst;
  QTime now;       // on 7 December
  QString reason;  // part of it; empty: healthy
  int failures;
  SyncWindows schedule = {};
};

void PrintTo(const HealthCase& c, std::ostream* out) { *out << c.name; }

class Health : public testing::TestWithParam<HealthCase> {};

TEST_P(Health, TellsFailuresAndAnOverdueTimedFetch) {
  const HealthCase& c = GetParam();
  const HealthReport report =
      AssessHealth(c.newestFirst, c.schedule, QDateTime(QDate(2026, 12, 7), c.now));
  EXPECT_EQ(report.reason.isEmpty(), c.reason.isEmpty()) << report.reason.toStdString();
  EXPECT_TRUE(report.reason.contains(c.reason)) << report.reason.toStdString();
  EXPECT_EQ(report.consecutiveFailures, c.failures);
}

const SyncWindows kTenMinutes{{{QTime(10, 0), QTime(10, 35)}}, 10};

INSTANTIATE_TEST_SUITE_P(
    Logs, Health,
    testing::Values(
        HealthCase{"nothing_logged", {}, QTime(7, 0), u"no attempt"_s, 0},
        HealthCase{
            "newest_good", {Logged("06:45:02", 0), Logged("06:15:02", 7)}, QTime(6, 50), {}, 0},
        HealthCase{"nothing_extracted_twice",
                   {Logged("06:45:02", -1), Logged("06:15:02", -1), Logged("05:00:00", 0)},
                   QTime(6, 50),
                   u"failed: nothing extracted"_s,
                   2},
        HealthCase{"request_failed", {Logged("06:45:02", 28)}, QTime(6, 50), u"28 timeout"_s, 1},
        // Due at 07:15: ten minutes later it is overdue, not before.
        HealthCase{"due_ten_minutes_ago", {Logged("06:45:02", 0)}, QTime(7, 25), {}, 0},
        HealthCase{"overdue",
                   {Logged("06:45:02", 0)},
                   QTime(7, 25, 1),
                   u"due at 2026-12-07 07:15:00"_s,
                   0},
        // After a window's last fetch the next is due when the next window opens.
        HealthCase{"between_windows", {Logged("08:15:01", 0)}, QTime(9, 25), {}, 0},
        HealthCase{
            "next_window_overdue", {Logged("08:15:01", 0)}, QTime(9, 25, 1), u"09:15:00"_s, 0},
        HealthCase{"started_late_in_a_window", {Logged("07:51:00", 0)}, QTime(9, 20), {}, 0},
        HealthCase{"configured_interval",
                   {Logged("10:00:05", 0)},
                   QTime(10, 20, 1),
                   u"due at 2026-12-07 10:10:00"_s,
                   0,
                   kTenMinutes},
        HealthCase{
            "configured_window_over", {Logged("10:30:05", 0)}, QTime(23, 0), {}, 0, kTenMinutes}),
    [](const auto& info) { return std::string(info.param.name); });

// "F" a failed attempt, "S" a good one; "f"/"r" where the failure/recovery command runs, "-"
// where nothing runs, each with the failures in a row it is given.
TEST(FailureAlerts, RunOnTheChangeNotOnEveryAttempt) {
  const struct {
    const char* attempts;
    const char* alerts;
    std::vector<int> failures;
  } cases[] = {
      {"FFFSSFS", "f--r-fr", {1, 2, 3, 3, 0, 1, 1}},
      {"SFSFFS", "-frf-r", {0, 1, 1, 1, 2, 2}},
  };
  for (const auto& c : cases) {
    FailureAlerts alerts;
    std::string got;
    std::vector<int> failures;
    for (const char* attempt = c.attempts; *attempt; ++attempt) {
      const FailureAlerts::Alert alert = alerts.Next(*attempt == 'S');
      got += alert == FailureAlerts::Alert::Failure    ? 'f'
             : alert == FailureAlerts::Alert::Recovery ? 'r'
                                                       : '-';
      failures.push_back(alerts.Failures());
    }
    EXPECT_EQ(got, c.alerts) << c.attempts;
    EXPECT_EQ(failures, c.failures) << c.attempts;
  }
}

}  // namespace
}  // namespace skyloom

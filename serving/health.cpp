#include "serving/health.h"

#include <algorithm>

#include "history/slot_grid.h"

namespace skyloom {
namespace {

const QString kLogTimeFormat = QStringLiteral("yyyy-MM-dd HH:mm:ss");

QString FailureText(const AttemptRow& row) {
  if (StateOf(row) == SlotState::NothingExtracted) return kNothingExtracted;
  return QStringLiteral("%1 %2").arg(row.number).arg(row.description);
}

}  // namespace

HealthReport AssessHealth(const std::vector<AttemptRow>& newestFirst, const SyncWindows& schedule,
                          const QDateTime& now) {
  HealthReport report;
  const auto success = std::find_if(newestFirst.begin(), newestFirst.end(),
                                    [](const AttemptRow& row) { return Succeeded(row); });
  report.consecutiveFailures = static_cast<int>(success - newestFirst.begin());
  if (success != newestFirst.end()) report.lastSuccess = success->logtime;
  if (newestFirst.empty()) {
    report.problem = HealthProblem::NoAttempt;
    report.reason = QStringLiteral("no attempt has been logged yet");
    return report;
  }
  const AttemptRow& newest = newestFirst.front();
  report.lastAttempt = newest.logtime;
  if (!Succeeded(newest)) {
    report.problem = HealthProblem::NewestFailed;
    report.detail = FailureText(newest);
    report.reason = QStringLiteral("the newest attempt failed: ") + report.detail;
    return report;
  }
  // The newest attempt stands in for the last timed fetch: one made by hand since can only
  // put the next due time later, so a healthy collector is never taken for a stalled one.
  const QDateTime logged = QDateTime::fromString(newest.logtime, kLogTimeFormat);
  const QDateTime due = logged.isValid() ? schedule.NextDue(logged) : QDateTime();
  if (due.isValid() && due.secsTo(now) > kStalledAfterSeconds) {
    report.problem = HealthProblem::Stalled;
    report.detail = due.toString(kLogTimeFormat);
    report.reason =
        QStringLiteral("no attempt logged since the timed fetch due at %1").arg(report.detail);
  }
  return report;
}

HealthReport UnreadableLog(const QString& why) {
  HealthReport report;
  report.problem = HealthProblem::Unreadable;
  report.detail = why;
  report.reason = why;
  return report;
}

}  // namespace skyloom

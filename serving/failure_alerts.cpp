#include "serving/failure_alerts.h"

#include "serving/health.h"

namespace skyloom {

std::vector<std::pair<QString, QString>> AlertEnvironment(const StoreResult& stored,
                                                          const QString& logtime, int failures) {
  const AttemptRow& row = stored.logged;
  const bool logged = !stored.error;
  return {
      {QStringLiteral("SKYLOOM_LOGTIME"), logtime},
      {QStringLiteral("SKYLOOM_STATUS"), logged ? row.status : QStringLiteral("store error")},
      {QStringLiteral("SKYLOOM_ERRNUM"),
       QString::number(logged ? row.number : qint64{stored.error->code})},
      {QStringLiteral("SKYLOOM_DESCRIPTION"), logged ? row.description : stored.error->message},
      {QStringLiteral("SKYLOOM_FAILURES"), QString::number(failures)},
  };
}

FailureAlerts::Alert FailureAlerts::Next(bool succeeded) {
  if (succeeded) {
    if (!failing_) {
      failures_ = 0;
      return Alert::None;
    }
    failing_ = false;  // Failures() still tells how many it ended
    return Alert::Recovery;
  }
  if (failing_) {
    ++failures_;
    return Alert::None;
  }
  failing_ = true;
  failures_ = 1;
  return Alert::Failure;
}

std::optional<FailureAlerts::Run> FailureAlerts::Record(const StoreResult& stored,
                                                        const QString& logtime) {
  const Alert alert = Next(Succeeded(stored));
  if (alert == Alert::None) return std::nullopt;
  const QString subject = QStringLiteral("Hook after %1 failed attempt%2")
                              .arg(failures_)
                              .arg(failures_ == 1 ? QString() : QStringLiteral("s"));
  return Run{alert, subject, AlertEnvironment(stored, logtime, failures_)};
}

}  // namespace skyloom

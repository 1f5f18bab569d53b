#include "serving/failure_alerts.h"

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

}  // namespace skyloom

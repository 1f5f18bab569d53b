#pragma once

#include <QString>
#include <optional>
#include <utility>
#include <vector>

#include "store/forecast_store.h"

namespace skyloom {

// Decides when on_failure and on_recovery run: on the change, not on every attempt. The
// failure alert comes at the first failed attempt after a good one, and at the first attempt
// when it fails; the recovery alert at the first good attempt after failures.
class FailureAlerts final {
 public:
  enum class Alert { None, Failure, Recovery };

  // Feeds one finished attempt; what to run for it.
  Alert Next(bool succeeded);
  // Failed attempts in a row: up to and including the last one fed, or, after a recovery,
  // those it ended.
  int Failures() const { return failures_; }

  // What to run for an attempt that ended at `logtime`, when anything.
  struct Run {
    Alert alert;
    QString subject;  // names the run in reports
    std::vector<std::pair<QString, QString>> environment;
  };
  std::optional<Run> Record(const StoreResult& stored, const QString& logtime);

 private:
  bool failing_ = false;
  int failures_ = 0;
};

// What the alert commands find in their environment: the attempt as tqlog holds it (after a
// store failure, which logged nothing, "store error" with the store's code and message), when
// it ended, and the failures in a row.
std::vector<std::pair<QString, QString>> AlertEnvironment(const StoreResult& stored,
                                                          const QString& logtime, int failures);

}  // namespace skyloom

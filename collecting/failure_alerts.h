#pragma once

#include "store/forecast_store.h"

namespace skyloom {

// Tells when a run of failed attempts starts and ends: on the change, not on every attempt.
// The failure alert comes at the first failed attempt after a good one, and at the first
// attempt when it fails; the recovery alert at the first good attempt after failures.
class FailureAlerts final {
 public:
  enum class Alert { None, Failure, Recovery };

  // Feeds one finished attempt; what it starts or ends.
  Alert Next(bool succeeded);
  Alert Record(const StoreResult& stored) { return Next(Succeeded(stored)); }
  // Failed attempts in a row: up to and including the last one fed, or, after a recovery,
  // those it ended.
  int Failures() const { return failures_; }

 private:
  bool failing_ = false;
  int failures_ = 0;
};

}  // namespace skyloom

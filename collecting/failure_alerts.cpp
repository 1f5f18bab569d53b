#include "collecting/failure_alerts.h"

namespace skyloom {

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

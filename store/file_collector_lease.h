#pragma once

#include <QString>

#include "store/collector_lease.h"

namespace skyloom {

// The turn as an exclusive flock on a file beside the SQLite file, held from the moment it is
// taken until the process ends; the kernel lets it go when the holder dies, however it dies.
// It serves collectors on one machine only (flock is not shared over NFS or SMB, and neither
// is SQLite's own locking). A holder that is frozen keeps the turn until it is thawed. The
// lock file is named after the database's real path, so that a symbolic link to the database
// leads to the same lock. The holder writes when it took the turn and the last slot the group
// fetched into that file, for the standbys to read.
class FileCollectorLease final : public CollectorLease {
 public:
  // A standby tries to take the lock every `interval`.
  FileCollectorLease(QString databasePath, std::chrono::milliseconds interval);
  ~FileCollectorLease() override;

  StoreExpected<Turn> Hold(Deadline) override;
  void Release() override;
  std::chrono::milliseconds PollInterval() const override { return interval_; }
  std::chrono::milliseconds Term() const override { return {}; }

 private:
  QString databasePath_;
  std::chrono::milliseconds interval_;
  int lock_ = -1;  // open while this collector has the turn
  Turn turn_;      // as written into the file while it has it
};

}  // namespace skyloom

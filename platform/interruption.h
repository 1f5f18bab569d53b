#pragma once

#include <QtGlobal>
#include <atomic>
#include <mutex>

namespace skyloom {

// A flag that one thread raises to end another thread's wait on a database. While raised, its
// descriptor is readable, so that a wait in poll() wakes at once.
class Interruption final {
 public:
  Interruption();
  ~Interruption();
  Q_DISABLE_COPY_MOVE(Interruption)

  // Safe from any thread.
  void Raise();
  void Clear();
  bool Raised() const { return raised_.load(); }
  int Descriptor() const { return descriptor_; }

 private:
  int descriptor_;
  std::mutex mutex_;  // keeps the flag and the descriptor in step
  std::atomic<bool> raised_{false};
};

}  // namespace skyloom

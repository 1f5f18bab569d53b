#include "platform/interruption.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace skyloom {

Interruption::Interruption() : descriptor_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Interruption::~Interruption() {
  if (descriptor_ >= 0) ::close(descriptor_);
}

void Interruption::Raise() {
  const std::lock_guard lock(mutex_);
  raised_.store(true);
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(descriptor_, &one, sizeof one);
}

void Interruption::Clear() {
  const std::lock_guard lock(mutex_);
  raised_.store(false);
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t read = ::read(descriptor_, &count, sizeof count);
}

}  // namespace skyloom

#include "platform/open_files.h"

#include <dirent.h>
#include <sys/resource.h>

namespace skyloom {

void RaiseOpenFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

std::size_t FreeDescriptors() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
    return static_cast<std::size_t>(-1);
  }
  std::size_t open = 0;
  if (DIR* folder = ::opendir("/proc/self/fd")) {
    while (const dirent* entry = ::readdir(folder)) open += entry->d_name[0] != '.';
    ::closedir(folder);
  }
  const auto soft = static_cast<std::size_t>(limit.rlim_cur);
  return soft > open ? soft - open : 0;
}

}  // namespace skyloom

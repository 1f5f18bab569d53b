// Preloaded into the program under test (LD_PRELOAD) to start its wall clock at a chosen
// instant: CLOCK_SHIFT_START holds that instant in seconds since the epoch. From there the
// clock runs at its normal rate, or CLOCK_SHIFT_RATE times as fast, so that hours of a
// schedule pass in seconds. Timers and timeouts run on the monotonic clock, which is left
// alone; only the date and time of day the program reads are moved.
// With CLOCK_SHIFT_FILE the shift is read from that file instead (seconds to add to the real
// clock, read at most ten times a second), so a test moves running programs' clocks together.
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <ctime>

namespace {

long long startNs = 0;
long long realStartNs = 0;
long long rate = 1;
const char* shiftFile = nullptr;
std::atomic<long long> fileShiftNs{0};
std::atomic<long long> nextReadNs{0};

long long RealNs(clockid_t clock) {
  timespec now{};
  ::syscall(SYS_clock_gettime, clock, &now);
  return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

// Raw system calls: the sanitizers' wrappers of open and read may not be ready yet.
void ReadShiftFile() {
  const long long now = RealNs(CLOCK_MONOTONIC);
  if (now < nextReadNs.load(std::memory_order_relaxed)) return;
  nextReadNs.store(now + 100'000'000LL, std::memory_order_relaxed);
  const long fd = ::syscall(SYS_openat, AT_FDCWD, shiftFile, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  char text[32] = {};
  const long got = ::syscall(SYS_read, fd, text, sizeof text - 1);
  ::syscall(SYS_close, fd);
  if (got > 0) fileShiftNs.store(std::atoll(text) * 1'000'000'000LL, std::memory_order_relaxed);
}

__attribute__((constructor)) void ReadShift() {
  shiftFile = std::getenv("CLOCK_SHIFT_FILE");
  if (shiftFile) return ReadShiftFile();
  const char* start = std::getenv("CLOCK_SHIFT_START");
  if (!start) return;
  realStartNs = RealNs(CLOCK_REALTIME);
  startNs = std::atoll(start) * 1'000'000'000LL;
  if (const char* faster = std::getenv("CLOCK_SHIFT_RATE"))
    rate = std::max(1LL, std::atoll(faster));
}

bool IsWallClock(clockid_t clock) {
  return clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE;
}

}  // namespace

extern "C" {

int clock_gettime(clockid_t clock, timespec* now) {
  if (::syscall(SYS_clock_gettime, clock, now) != 0) return -1;
  if (IsWallClock(clock) && shiftFile) {
    ReadShiftFile();
    const long long shifted = now->tv_sec * 1'000'000'000LL + now->tv_nsec + fileShiftNs.load();
    now->tv_sec = static_cast<time_t>(shifted / 1'000'000'000LL);
    now->tv_nsec = static_cast<long>(shifted % 1'000'000'000LL);
    return 0;
  }
  if (IsWallClock(clock) && startNs != 0) {
    const long long real = now->tv_sec * 1'000'000'000LL + now->tv_nsec;
    const long long shifted = startNs + (real - realStartNs) * rate;
    now->tv_sec = static_cast<time_t>(shifted / 1'000'000'000LL);
    now->tv_nsec = static_cast<long>(shifted % 1'000'000'000LL);
  }
  return 0;
}

int gettimeofday(timeval* now, void*) {
  timespec precise{};
  clock_gettime(CLOCK_REALTIME, &precise);
  now->tv_sec = precise.tv_sec;
  now->tv_usec = precise.tv_nsec / 1000;
  return 0;
}

time_t time(time_t* now) {
  timespec precise{};
  clock_gettime(CLOCK_REALTIME, &precise);
  if (now) *now = precise.tv_sec;
  return precise.tv_sec;
}

}  // extern "C"

// Preloaded into the program under test (LD_PRELOAD) to start its wall clock at a chosen
// instant: CLOCK_SHIFT_START holds that instant in seconds since the epoch. From there the
// clock runs at its normal rate, or CLOCK_SHIFT_RATE times as fast, so that hours of a
// schedule pass in seconds. Timers and timeouts run on the monotonic clock, which is left
// alone; only the date and time of day the program reads are moved.
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>

namespace {

long long startNs = 0;
long long realStartNs = 0;
long long rate = 1;

long long RealNs(clockid_t clock) {
  timespec now{};
  ::syscall(SYS_clock_gettime, clock, &now);
  return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

__attribute__((constructor)) void ReadShift() {
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

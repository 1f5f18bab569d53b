// Preloaded into the program under test (LD_PRELOAD) to start its wall clock at a chosen
// instant: CLOCK_SHIFT_START holds that instant in seconds since the epoch. From there the
// clock runs at its normal rate, so timers and timeouts behave as usual; only the date and
// time of day the program reads are moved. The monotonic clock is left alone.
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>

namespace {

long long offsetNs = 0;

long long RealNs(clockid_t clock) {
  timespec now{};
  ::syscall(SYS_clock_gettime, clock, &now);
  return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

__attribute__((constructor)) void ReadShift() {
  const char* start = std::getenv("CLOCK_SHIFT_START");
  if (!start) return;
  offsetNs = std::atoll(start) * 1'000'000'000LL - RealNs(CLOCK_REALTIME);
}

bool IsWallClock(clockid_t clock) {
  return clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE;
}

}  // namespace

extern "C" {

int clock_gettime(clockid_t clock, timespec* now) {
  if (::syscall(SYS_clock_gettime, clock, now) != 0) return -1;
  if (IsWallClock(clock)) {
    const long long shifted = now->tv_sec * 1'000'000'000LL + now->tv_nsec + offsetNs;
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

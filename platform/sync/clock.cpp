// clock.cpp - Sleep and the millisecond clocks.
//
// GetTickCount64 is the monotonic clock (never steps with the wall clock), so
// intervals and timeouts measured with it are honest; UnixTimeMs is the wall
// clock for timestamps.

#include "platform/sync/sync.h"

#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace {

ULONGLONG ClockMs(clockid_t clock) {
  timespec ts{};
  ::clock_gettime(clock, &ts);
  return static_cast<ULONGLONG>(ts.tv_sec) * 1000u + static_cast<ULONGLONG>(ts.tv_nsec) / 1000000u;
}

}  // namespace

void Sleep(DWORD milliseconds) {
  if (milliseconds == 0) {
    sched_yield();  // gives up the rest of the time slice, as Sleep(0) does
    return;
  }
  if (milliseconds == INFINITE) {
    for (;;) ::pause();
  }
  timespec left{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
  // Signals cut nanosleep short; sleep out the rest.
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

ULONGLONG GetTickCount64() { return ClockMs(CLOCK_MONOTONIC); }

// Wraps every 49.7 days, as it always has.
DWORD GetTickCount() { return static_cast<DWORD>(GetTickCount64()); }

namespace platform {

ULONGLONG UnixTimeMs() { return ClockMs(CLOCK_REALTIME); }

}  // namespace platform

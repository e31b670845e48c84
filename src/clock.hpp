// The wall clock, read in one place so that every rule that depends on "now" (job
// times, IDs, windows, ages) reads the same source.
//
// Read with clock_gettime, not std::chrono::system_clock: on 32-bit ARM the C++ library
// reads the clock through the 32-bit call, whatever _TIME_BITS the daemon is built with,
// and its time stops at 2038. The build makes time_t 64-bit on every target.
#pragma once

#include <time.h>

#include <cstdint>

static_assert(sizeof(time_t) == 8, "times after 2038 need a 64-bit time_t (-D_TIME_BITS=64 on 32-bit targets)");

namespace velmer {

inline timespec currentWallClock() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return now;
}

inline int64_t currentTimeSeconds() { return currentWallClock().tv_sec; }

inline int64_t currentTimeMicroseconds() {
  const timespec now = currentWallClock();
  return int64_t{now.tv_sec} * 1'000'000 + now.tv_nsec / 1'000;
}

}  // namespace velmer

// The wall clock, read in one place so that every rule that depends on "now" (job
// times, IDs, windows, ages) reads the same source.
#pragma once

#include <chrono>
#include <cstdint>

namespace velmer {

inline int64_t currentTimeSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

inline int64_t currentTimeMicroseconds() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace velmer

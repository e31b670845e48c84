// How long a writer of a file on flash waits before it tries a failed write again: 0.5 s
// after the first failure, doubled after each further one, up to 30 s. Every writer
// (the journal, the backup file, the legacy copy, the key-value file) keeps its own.
#pragma once

#include <algorithm>
#include <chrono>

namespace velmer {

inline constexpr std::chrono::milliseconds kFirstRetryDelay{500};
inline constexpr std::chrono::milliseconds kLongestRetryDelay{30000};

class RetryDelay {
 public:
  // The delay before the next attempt after one more failure.
  std::chrono::milliseconds failed() {
    delay_ = delay_ == std::chrono::milliseconds::zero() ? kFirstRetryDelay : std::min(2 * delay_, kLongestRetryDelay);
    return delay_;
  }
  void succeeded() { delay_ = std::chrono::milliseconds::zero(); }

 private:
  std::chrono::milliseconds delay_{0};
};

}  // namespace velmer

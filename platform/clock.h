// Time as the logic sees it, so that tests can move it.
#pragma once

#include <chrono>

namespace kex::platform {

using Timestamp = std::chrono::system_clock::time_point;
using Duration = std::chrono::nanoseconds;

// Any thread.
class Clock {
 public:
  virtual ~Clock() = default;

  // The wall clock, used for identifier ages and capture dates.
  [[nodiscard]] virtual Timestamp now() = 0;

  // Suspends the calling thread for the duration (the pauses inside operations).
  virtual void sleep(Duration duration) = 0;
};

// Seconds between two moments, as the age checks compare them.
[[nodiscard]] inline double secondsBetween(Timestamp earlier, Timestamp later) {
  return std::chrono::duration<double>(later - earlier).count();
}

}  // namespace kex::platform

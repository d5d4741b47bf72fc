// Deadlines for every wait the harness makes, so that no test waits on a fixed sleep.
#pragma once

#include <chrono>

namespace kex::harness {

using Clock = std::chrono::steady_clock;
using Deadline = Clock::time_point;

[[nodiscard]] inline Deadline deadlineIn(Clock::duration duration) {
  return Clock::now() + duration;
}

// Milliseconds left until the deadline, rounded up so that a wait never ends early; zero once it
// has passed. Suits poll(2).
[[nodiscard]] inline int millisecondsLeft(Deadline deadline) {
  const auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms > 1'000'000'000 ? 1'000'000'000 : static_cast<int>(ms);
}

[[nodiscard]] inline bool hasPassed(Deadline deadline) { return Clock::now() >= deadline; }

}  // namespace kex::harness

// Latency figures every benchmark prints: medians and upper percentiles of round trips.
#pragma once

#include <algorithm>
#include <chrono>
#include <vector>

namespace kex::bench {

using Clock = std::chrono::steady_clock;

struct Summary {
  double medianMs = 0;
  double p90Ms = 0;
  double p99Ms = 0;
};

inline Summary summarize(std::vector<double> samples) {
  if (samples.empty()) return {};
  std::sort(samples.begin(), samples.end());
  const auto at = [&](double quantile) {
    const auto rank = static_cast<std::size_t>(quantile * static_cast<double>(samples.size()));
    return samples[std::min(rank, samples.size() - 1)];
  };
  return {at(0.5), at(0.9), at(0.99)};
}

inline double millisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace kex::bench

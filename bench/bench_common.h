// What every benchmark shares: its `--name value` options, a private desktop with kex-computer
// on it, and figures printed as medians and an upper percentile beside their targets, with
// ratios against an alternative measured in the same run. Main thread only.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/harness/helper.h"
#include "tools/harness/virtual_desktop.h"

namespace kex::bench {

using Clock = std::chrono::steady_clock;

// The figures of a set of round trips, in milliseconds.
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

// The command line as `--name value` pairs; a name that is never asked for is ignored.
class Options {
 public:
  Options(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; i += 2) values_[argv[i]] = argv[i + 1];
  }

  // The value of the option (named with its dashes) when it is a positive whole number, else
  // the fallback.
  [[nodiscard]] int count(std::string_view name, int fallback) const {
    const auto found = values_.find(name);
    if (found == values_.end()) return fallback;
    const int value = std::atoi(found->second.c_str());
    return value > 0 ? value : fallback;
  }

  // The value of the option as given, else the fallback.
  [[nodiscard]] std::string text(std::string_view name, std::string_view fallback = {}) const {
    const auto found = values_.find(name);
    return std::string(found == values_.end() ? fallback : std::string_view(found->second));
  }

 private:
  std::map<std::string, std::string, std::less<>> values_;
};

// A private desktop (with the test application at hand) and one kex-computer on it. When it
// goes, kex-computer's input is closed and it is given time to end before the desktop is
// taken down.
class BenchDesktop {
 public:
  explicit BenchDesktop(harness::DesktopOptions options = {},
                        std::chrono::milliseconds responseTimeout = std::chrono::seconds(10))
      : desktop_(withTestApp(std::move(options))),
        computer_({.program = KEX_COMPUTER_PATH,
                   .env = desktop_.env(),
                   .responseTimeout = responseTimeout}) {}
  ~BenchDesktop() {
    computer_.closeInput();
    (void)computer_.waitExit(harness::deadlineIn(std::chrono::seconds(10)));
  }
  BenchDesktop(const BenchDesktop&) = delete;
  BenchDesktop& operator=(const BenchDesktop&) = delete;

  [[nodiscard]] harness::VirtualDesktop& desktop() { return desktop_; }
  [[nodiscard]] harness::Helper& computer() { return computer_; }

 private:
  static harness::DesktopOptions withTestApp(harness::DesktopOptions options) {
    options.testAppPath = KEX_TEST_APP_PATH;
    return options;
  }

  harness::VirtualDesktop desktop_;
  harness::Helper computer_;
};

inline const char* verdict(bool met) { return met ? "met" : "MISSED"; }

// Which upper percentile a table shows beside the median.
enum class Tail { p90, p99 };

// Rows of figures: a name, the median and the tail in milliseconds, and where the median has a
// target, the target and whether it was met.
class FigureTable {
 public:
  // Prints the heading; the first column is headed by what the rows name.
  FigureTable(std::string_view rowsName, Tail tail) : tail_(tail) {
    std::printf("%-44.*s %10s %10s   %s\n", static_cast<int>(rowsName.size()), rowsName.data(),
                "median ms", tail == Tail::p90 ? "p90 ms" : "p99 ms", "target");
  }

  void row(std::string_view name, const Summary& summary,
           std::optional<double> targetMedianMs = std::nullopt) const {
    const double tailMs = tail_ == Tail::p90 ? summary.p90Ms : summary.p99Ms;
    std::printf("%-44.*s %10.3f %10.3f", static_cast<int>(name.size()), name.data(),
                summary.medianMs, tailMs);
    if (targetMedianMs) {
      std::printf("   median <= %g ms %s", *targetMedianMs,
                  verdict(summary.medianMs <= *targetMedianMs));
    }
    std::printf("\n");
  }

 private:
  Tail tail_;
};

// "ratio of medians: <what> = 12.34x", then the least ratio the target asks and whether it was
// met when there is one.
inline void printRatio(std::string_view what, double ratio,
                       std::optional<double> targetAtLeast = std::nullopt) {
  std::printf("ratio of medians: %.*s = %.2fx", static_cast<int>(what.size()), what.data(), ratio);
  if (targetAtLeast) std::printf("   >= %gx %s", *targetAtLeast, verdict(ratio >= *targetAtLeast));
  std::printf("\n");
}

// Runs the benchmark's measurements with its options: 0 when they were made and printed, 1 with
// the reason on standard error when they could not be.
inline int runBenchmark(const char* name, int argc, char** argv,
                        const std::function<void(const Options&)>& measure) {
  try {
    measure(Options(argc, argv));
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s: %s\n", name, error.what());
    return 1;
  }
}

}  // namespace kex::bench

// kex_request_bench: round-trip latency of kex-computer's requests over its pipes, one request
// at a time, on a private 1920x1080 desktop; beside it, what a script pays to learn the
// topology by spawning xrandr. Runs on the main thread only.
//
// Usage: kex_request_bench [--requests N] [--spawns M]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "bench/latency.h"
#include "tools/harness/helper.h"
#include "tools/harness/virtual_desktop.h"

namespace {

using kex::bench::millisecondsSince;
using kex::bench::summarize;
using kex::bench::Summary;
using kex::harness::Clock;
using kex::harness::Helper;
using nlohmann::json;

struct BenchOptions {
  int requests = 2000;
  int spawns = 50;
};

BenchOptions parseOptions(int argc, char** argv) {
  BenchOptions options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view flag = argv[i];
    const int value = std::atoi(argv[i + 1]);
    if (flag == "--requests" && value > 0) options.requests = value;
    if (flag == "--spawns" && value > 0) options.spawns = value;
  }
  return options;
}

// Times `count` round trips of the same request line; every response must pass `expected`.
std::vector<double> timeRequests(Helper& helper, const std::string& line, int count,
                                 const std::function<bool(const json&)>& expected) {
  std::vector<double> samples;
  samples.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    const auto start = Clock::now();
    helper.sendLine(line);
    const auto response = helper.readResponseLine();
    samples.push_back(millisecondsSince(start));
    if (!response) throw std::runtime_error("kex-computer stopped answering");
    if (!expected(json::parse(*response, nullptr, false))) {
      throw std::runtime_error("unexpected response: " + *response);
    }
  }
  return samples;
}

std::vector<double> timeSpawns(kex::harness::VirtualDesktop& desktop, int count) {
  std::vector<double> samples;
  for (int i = 0; i < count; ++i) {
    const auto start = Clock::now();
    const auto result = desktop.runTool({"xrandr", "--listmonitors"});
    samples.push_back(millisecondsSince(start));
    if (result.exitStatus != 0) throw std::runtime_error("xrandr --listmonitors failed");
  }
  return samples;
}

void printRow(const char* kind, const Summary& summary, const char* target, bool met) {
  std::printf("%-34s %10.3f %10.3f   %-16s %s\n", kind, summary.medianMs, summary.p99Ms, target,
              met ? "met" : "MISSED");
}

}  // namespace

int main(int argc, char** argv) {
  const BenchOptions options = parseOptions(argc, argv);
  try {
    kex::harness::DesktopOptions desktopOptions;
    desktopOptions.width = 1920;
    desktopOptions.height = 1080;
    kex::harness::VirtualDesktop desktop(desktopOptions);
    kex::harness::HelperOptions helperOptions;
    helperOptions.program = KEX_COMPUTER_PATH;
    helperOptions.env = desktop.env();
    Helper helper(std::move(helperOptions));

    json stale = helper.freshnessArgs();
    stale["sessionId"] = "00000000-0000-0000-0000-000000000000";
    const std::string refusedLine = Helper::envelope("bench-refused", "computer.nothing", stale);
    const std::string statusLine = Helper::envelope("bench-status", "status", json::object());
    const auto isRefused = [](const json& r) { return r.value("error", "") == "topology_changed"; };
    const auto isStatus = [](const json& r) { return r.value("ok", false); };

    // A first pass warms caches and the connection to the X server; it is not counted.
    timeRequests(helper, refusedLine, 100, isRefused);
    timeRequests(helper, statusLine, 100, isStatus);
    const Summary refused =
        summarize(timeRequests(helper, refusedLine, options.requests, isRefused));
    const Summary status = summarize(timeRequests(helper, statusLine, options.requests, isStatus));
    const Summary spawn = summarize(timeSpawns(desktop, options.spawns));

    std::printf(
        "kex_request_bench: %d requests of each kind, one at a time, on a private "
        "1920x1080 desktop %s\n\n",
        options.requests, desktop.display().c_str());
    std::printf("%-34s %10s %10s   %-16s\n", "request", "median ms", "p99 ms", "target");
    printRow("refused (wrong sessionId)", refused, "median <= 0.5 ms", refused.medianMs <= 0.5);
    printRow("status", status, "median <= 3 ms", status.medianMs <= 3.0);
    std::printf("\nalternative, measured in the same run (%d spawns):\n", options.spawns);
    std::printf("%-34s %10.3f %10.3f\n", "spawn `xrandr --listmonitors`", spawn.medianMs,
                spawn.p99Ms);
    std::printf(
        "ratio of medians: xrandr spawn / status = %.1fx, xrandr spawn / refused = "
        "%.1fx\n",
        spawn.medianMs / status.medianMs, spawn.medianMs / refused.medianMs);
    helper.closeInput();
    (void)helper.waitExit(kex::harness::deadlineIn(std::chrono::seconds(10)));
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kex_request_bench: %s\n", error.what());
    return 1;
  }
}

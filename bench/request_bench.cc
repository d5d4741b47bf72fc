// kex_request_bench: round-trip latency of kex-computer's requests over its pipes, one request
// at a time, on a private 1920x1080 desktop; beside it, what a script pays to learn the
// topology by spawning xrandr. Runs on the main thread only.
//
// Usage: kex_request_bench [--requests N] [--spawns M]
#include <cstdio>
#include <functional>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench_common.h"

namespace kex::bench {
namespace {

using harness::Helper;
using nlohmann::json;

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

std::vector<double> timeSpawns(harness::VirtualDesktop& desktop, int count) {
  std::vector<double> samples;
  for (int i = 0; i < count; ++i) {
    const auto start = Clock::now();
    const auto result = desktop.runTool({"xrandr", "--listmonitors"});
    samples.push_back(millisecondsSince(start));
    if (result.exitStatus != 0) throw std::runtime_error("xrandr --listmonitors failed");
  }
  return samples;
}

void measure(const Options& options) {
  const int requests = options.count("--requests", 2000);
  const int spawns = options.count("--spawns", 50);
  BenchDesktop bench({.width = 1920, .height = 1080});
  harness::VirtualDesktop& desktop = bench.desktop();
  Helper& helper = bench.computer();

  json stale = helper.freshnessArgs();
  stale["sessionId"] = "00000000-0000-0000-0000-000000000000";
  const std::string refusedLine = Helper::envelope("bench-refused", "computer.nothing", stale);
  const std::string statusLine = Helper::envelope("bench-status", "status", json::object());
  const auto isRefused = [](const json& r) { return r.value("error", "") == "topology_changed"; };
  const auto isStatus = [](const json& r) { return r.value("ok", false); };

  // A first pass warms caches and the connection to the X server; it is not counted.
  timeRequests(helper, refusedLine, 100, isRefused);
  timeRequests(helper, statusLine, 100, isStatus);
  const Summary refused = summarize(timeRequests(helper, refusedLine, requests, isRefused));
  const Summary status = summarize(timeRequests(helper, statusLine, requests, isStatus));
  const Summary spawn = summarize(timeSpawns(desktop, spawns));

  std::printf(
      "kex_request_bench: %d requests of each kind, one at a time, on a private "
      "1920x1080 desktop %s\n\n",
      requests, desktop.display().c_str());
  const FigureTable table("request", Tail::p99);
  table.row("refused (wrong sessionId)", refused, 0.5);
  table.row("status", status, 3.0);
  std::printf("\nalternative, measured in the same run (%d spawns):\n", spawns);
  table.row("spawn `xrandr --listmonitors`", spawn);
  printRatio("xrandr spawn / status", spawn.medianMs / status.medianMs);
  printRatio("xrandr spawn / refused", spawn.medianMs / refused.medianMs);
}

}  // namespace
}  // namespace kex::bench

int main(int argc, char** argv) {
  return kex::bench::runBenchmark("kex_request_bench", argc, argv, kex::bench::measure);
}

// kex_accessibility_bench: how long "computer.accessibility" takes for 256 nodes of the test
// application's tree, whole request over kex-computer's pipes, on a private desktop; beside it,
// the same 256 nodes read by a Python AT-SPI walk (pyatspi: role name, name, states, children,
// depth first), measured in the same run and over a pipe as well. Runs on the main thread only.
//
// Samples alternate between the two and are spaced further apart than kex-computer remembers
// what an application said, so that every sample asks the application afresh.
//
// Usage: kex_accessibility_bench [--samples N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench/latency.h"
#include "tools/harness/child_process.h"
#include "tools/harness/helper.h"
#include "tools/harness/virtual_desktop.h"

namespace {

using kex::bench::millisecondsSince;
using kex::bench::summarize;
using kex::bench::Summary;
using kex::harness::ChildProcess;
using kex::harness::Clock;
using kex::harness::Helper;
using nlohmann::json;

constexpr int kNodes = 256;
constexpr double kTargetMedianMs = 80.0;
constexpr double kTargetRatio = 1.5;
// Longer than kex-computer serves a prefetched answer (100 ms).
constexpr auto kSpacing = std::chrono::milliseconds(150);
constexpr auto kAnswerTimeout = std::chrono::seconds(20);

// Debian's interpreter, the one python3-pyatspi installs for.
constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kWalkScript = R"PY(
import sys, pyatspi
pid, budget = int(sys.argv[1]), int(sys.argv[2])

def window_of(pid):
    for app in pyatspi.Registry.getDesktop(0):
        if app is not None and app.get_process_id() == pid and app.childCount > 0:
            return app[0]
    return None

def walk(node, out):
    if len(out) >= budget:
        return
    out.append((node.getRoleName(), node.name, node.getState().contains(pyatspi.STATE_ENABLED)))
    for child in node:
        if len(out) >= budget:
            return
        walk(child, out)

window = window_of(pid)
print("ready" if window is not None else "no window", flush=True)
for _ in sys.stdin:
    nodes = []
    walk(window, nodes)
    print(len(nodes), flush=True)
)PY";

struct BenchOptions {
  int samples = 40;
};

BenchOptions parseOptions(int argc, char** argv) {
  BenchOptions options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const int value = std::atoi(argv[i + 1]);
    if (std::string_view(argv[i]) == "--samples" && value > 0) options.samples = value;
  }
  return options;
}

int describedNodes(const json& node) {
  if (node.contains("truncated")) return 0;
  int count = 1;
  if (node.contains("children")) {
    for (const auto& child : node["children"]) count += describedNodes(child);
  }
  return count;
}

// The test application's window as kex-computer lists it.
json listedWindow(Helper& helper, const json& fresh) {
  const auto deadline = kex::harness::deadlineIn(kAnswerTimeout);
  while (!kex::harness::hasPassed(deadline)) {
    const json response = helper.request("computer.windows", fresh);
    if (!response.value("ok", false)) continue;
    for (const auto& window : response["result"]["windows"]) {
      if (window.value("application", "") == "Kex-test-app") return window;
    }
  }
  throw std::runtime_error("kex-computer never listed the test application's window");
}

class KexTree {
 public:
  KexTree(Helper& helper, json args) : helper_(helper), args_(std::move(args)) {}

  double timeOne() {
    const std::string line = Helper::envelope(helper_.nextId(), "computer.accessibility", args_);
    const auto start = Clock::now();
    helper_.sendLine(line);
    const auto response = helper_.readResponseLine(kex::harness::deadlineIn(kAnswerTimeout));
    const double elapsed = millisecondsSince(start);
    if (!response) throw std::runtime_error("kex-computer stopped answering");
    const json answer = json::parse(*response, nullptr, false);
    if (!answer.value("ok", false) || describedNodes(answer["result"]["tree"]) != kNodes) {
      throw std::runtime_error("unexpected answer: " + response->substr(0, 300));
    }
    return elapsed;
  }

 private:
  Helper& helper_;
  json args_;
};

class PythonWalk {
 public:
  PythonWalk(kex::harness::VirtualDesktop& desktop, int pid) : process_(walkOptions(desktop, pid)) {
    const auto ready = process_.readLine(kex::harness::deadlineIn(kAnswerTimeout));
    if (ready != std::optional<std::string>("ready")) {
      throw std::runtime_error(
          "the pyatspi walk did not find the window (is python3-pyatspi "
          "installed?)");
    }
  }

  static kex::harness::ChildOptions walkOptions(kex::harness::VirtualDesktop& desktop, int pid) {
    kex::harness::ChildOptions options;
    options.argv = {kPython, "-c", kWalkScript, std::to_string(pid), std::to_string(kNodes)};
    options.env = desktop.env();
    options.pipeStdin = true;
    options.pipeStdout = true;
    options.stderrPath = desktop.newLogPath("pyatspi-walk");
    return options;
  }

  double timeOne() {
    const auto start = Clock::now();
    process_.writeLine("walk");
    const auto count = process_.readLine(kex::harness::deadlineIn(kAnswerTimeout));
    const double elapsed = millisecondsSince(start);
    if (count != std::optional<std::string>(std::to_string(kNodes))) {
      throw std::runtime_error("the pyatspi walk read " + count.value_or("nothing"));
    }
    return elapsed;
  }

 private:
  ChildProcess process_;
};

void printRow(const char* kind, const Summary& summary) {
  std::printf("%-44s %10.2f %10.2f\n", kind, summary.medianMs, summary.p90Ms);
}

}  // namespace

int main(int argc, char** argv) {
  const BenchOptions options = parseOptions(argc, argv);
  try {
    kex::harness::DesktopOptions desktopOptions;
    desktopOptions.testAppPath = KEX_TEST_APP_PATH;
    kex::harness::VirtualDesktop desktop(desktopOptions);
    const auto app = desktop.startApp({"--tree", "--size", "480x360"});
    kex::harness::HelperOptions helperOptions;
    helperOptions.program = KEX_COMPUTER_PATH;
    helperOptions.env = desktop.env();
    helperOptions.responseTimeout = kAnswerTimeout;
    Helper helper(std::move(helperOptions));

    json args = helper.freshnessArgs();
    args["targetId"] = listedWindow(helper, args)["targetId"];
    args["maxNodes"] = kNodes;
    KexTree kex(helper, args);
    PythonWalk python(desktop, app->process().pid());

    // One pass of each warms the application's accessible objects and both connections.
    (void)kex.timeOne();
    (void)python.timeOne();
    std::vector<double> kexSamples;
    std::vector<double> pythonSamples;
    for (int i = 0; i < options.samples; ++i) {
      std::this_thread::sleep_for(kSpacing);
      kexSamples.push_back(kex.timeOne());
      std::this_thread::sleep_for(kSpacing);
      pythonSamples.push_back(python.timeOne());
    }
    const Summary kexSummary = summarize(kexSamples);
    const Summary pythonSummary = summarize(pythonSamples);
    const double ratio = pythonSummary.medianMs / kexSummary.medianMs;

    std::printf(
        "kex_accessibility_bench: %d samples of each, alternating, %d nodes of the test "
        "application's tree on %s\n\n",
        options.samples, kNodes, desktop.display().c_str());
    std::printf("%-44s %10s %10s\n", "reader", "median ms", "p90 ms");
    printRow("kex-computer computer.accessibility (whole)", kexSummary);
    printRow("pyatspi depth-first walk", pythonSummary);
    std::printf("\nratio of medians, pyatspi / kex-computer: %.2fx\n", ratio);
    std::printf("target: kex-computer median <= %.0f ms: %s\n", kTargetMedianMs,
                kexSummary.medianMs <= kTargetMedianMs ? "met" : "MISSED");
    std::printf("target: ratio >= %.1fx: %s\n", kTargetRatio,
                ratio >= kTargetRatio ? "met" : "MISSED");
    helper.closeInput();
    (void)helper.waitExit(kex::harness::deadlineIn(std::chrono::seconds(10)));
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kex_accessibility_bench: %s\n", error.what());
    return 1;
  }
}

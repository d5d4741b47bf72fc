// kex_accessibility_bench: how long "computer.accessibility" takes for 256 nodes of the test
// application's tree, whole request over kex-computer's pipes, on a private desktop; beside it,
// the same 256 nodes read by a Python AT-SPI walk (pyatspi: role name, name, states, children,
// depth first), measured in the same run and over a pipe as well. Then it runs kex-computer
// 100 times more, each run reading the tree once as a host restarting the helper would, and
// times a new helper's tree again: reading an application must leave it as fast as it was. The
// application's processor time per tree, before and after, tells the same without the noise
// that the machine's load puts on the times.
// Runs on the main thread only.
//
// Samples alternate between the two readers and are spaced further apart than kex-computer
// remembers what an application said, so that every sample asks the application afresh.
//
// Usage: kex_accessibility_bench [--samples N] [--runs N] [--computer PATH]
// (--computer times another build of kex-computer, for a comparison before and after a change.)
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench/bench_common.h"
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
constexpr double kTargetMedianMs = 30.0;
constexpr double kTargetRatio = 1.5;
// A new helper's tree after the runs, against the first helper's.
constexpr double kMostSlowdown = 1.10;
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

std::unique_ptr<Helper> startHelper(kex::harness::VirtualDesktop& desktop,
                                    const std::string& program) {
  kex::harness::HelperOptions options;
  options.program = program;
  options.env = desktop.env();
  options.responseTimeout = kAnswerTimeout;
  return std::make_unique<Helper>(std::move(options));
}

// The arguments of a 256-node tree request of the test application's window.
json treeArguments(Helper& helper) {
  json args = helper.freshnessArgs();
  args["targetId"] = listedWindow(helper, args)["targetId"];
  args["maxNodes"] = kNodes;
  return args;
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
    options.stdinFrom = kex::harness::Stream::pipe;
    options.stdoutTo = kex::harness::Stream::pipe;
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

// The processor time the process has used, user and system, in milliseconds.
double cpuMilliseconds(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  // The fields after the command name, which ends with the last ')': utime and stime are the
  // 12th and 13th of them.
  std::istringstream fields(line.substr(line.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 1; i <= 13 && fields >> field; ++i) {
    if (i >= 12) ticks += std::stod(field);
  }
  return ticks * 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// A new helper's trees: the time of each and the application's processor time per tree, which
// the machine's load does not change.
struct HelperFigures {
  Summary wall;
  double applicationCpuMs = 0;
};

HelperFigures helperSamples(kex::harness::VirtualDesktop& desktop, const std::string& program,
                            int samples, int applicationPid) {
  const auto helper = startHelper(desktop, program);
  KexTree kex(*helper, treeArguments(*helper));
  std::vector<double> times;
  const double cpuBefore = cpuMilliseconds(applicationPid);
  for (int i = 0; i < samples; ++i) {
    std::this_thread::sleep_for(kSpacing);
    times.push_back(kex.timeOne());
  }
  const double cpuAfter = cpuMilliseconds(applicationPid);
  helper->closeInput();
  (void)helper->waitExit(kex::harness::deadlineIn(std::chrono::seconds(10)));
  return {summarize(times), (cpuAfter - cpuBefore) / samples};
}

// As a host that restarts the helper often: each run lists the windows, reads one tree, ends.
void runHelpers(kex::harness::VirtualDesktop& desktop, const std::string& program, int runs) {
  for (int i = 0; i < runs; ++i) {
    const auto helper = startHelper(desktop, program);
    KexTree kex(*helper, treeArguments(*helper));
    (void)kex.timeOne();
    helper->closeInput();
    (void)helper->waitExit(kex::harness::deadlineIn(std::chrono::seconds(10)));
  }
}

void measure(const kex::bench::Options& options) {
  const int samples = options.count("--samples", 40);
  const int runs = options.count("--runs", 100);
  const std::string computer = options.text("--computer", KEX_COMPUTER_PATH);
  kex::harness::DesktopOptions desktopOptions;
  desktopOptions.testAppPath = KEX_TEST_APP_PATH;
  kex::harness::VirtualDesktop desktop(desktopOptions);
  const auto app = desktop.startApp({"--tree", "--size", "480x360"});
  const auto helper = startHelper(desktop, computer);
  KexTree kex(*helper, treeArguments(*helper));
  PythonWalk python(desktop, app->process().pid());

  // One pass of each warms the application's accessible objects.
  (void)kex.timeOne();
  (void)python.timeOne();
  std::vector<double> kexSamples;
  std::vector<double> pythonSamples;
  for (int i = 0; i < samples; ++i) {
    std::this_thread::sleep_for(kSpacing);
    kexSamples.push_back(kex.timeOne());
    std::this_thread::sleep_for(kSpacing);
    pythonSamples.push_back(python.timeOne());
  }
  helper->closeInput();
  (void)helper->waitExit(kex::harness::deadlineIn(std::chrono::seconds(10)));
  const Summary kexSummary = summarize(kexSamples);
  const Summary pythonSummary = summarize(pythonSamples);

  // A new helper before and after the runs, with nothing else reading in between.
  const int pid = app->process().pid();
  const HelperFigures first = helperSamples(desktop, computer, samples, pid);
  runHelpers(desktop, computer, runs);
  const HelperFigures later = helperSamples(desktop, computer, samples, pid);
  std::vector<double> pythonAfter;
  for (int i = 0; i < samples; ++i) {
    std::this_thread::sleep_for(kSpacing);
    pythonAfter.push_back(python.timeOne());
  }
  const double slowdown = later.wall.medianMs / first.wall.medianMs;
  const double cpuGrowth = later.applicationCpuMs / first.applicationCpuMs;

  std::printf(
      "kex_accessibility_bench: %d samples of each, alternating, %d nodes of the test "
      "application's tree on %s; %d kex-computer runs in between\n\n",
      samples, kNodes, desktop.display().c_str(), runs);
  const kex::bench::FigureTable table("reader", kex::bench::Tail::p90);
  table.row("kex-computer computer.accessibility (whole)", kexSummary, kTargetMedianMs);
  table.row("pyatspi depth-first walk", pythonSummary);
  table.row("a new kex-computer, before the runs", first.wall);
  table.row("a new kex-computer, after the runs", later.wall);
  table.row("pyatspi depth-first walk, after the runs", summarize(pythonAfter));
  std::printf("\n");
  // libatspi asks each application for a connection of its own and for its whole cache, which
  // kex-computer does not do: they stay switched on in the application.
  kex::bench::printRatio("pyatspi (own connection and cache) / kex-computer (accessibility bus)",
                         pythonSummary.medianMs / kexSummary.medianMs, kTargetRatio);
  kex::bench::printRatio("a new kex-computer after / before the runs", slowdown);
  std::printf(
      "application processor time per tree, before / after the runs: %.2f / %.2f ms (%.2fx)\n",
      first.applicationCpuMs, later.applicationCpuMs, cpuGrowth);
  std::printf(
      "target: after the runs within %.0f%% of before: %s (tree time), %s (application "
      "processor time, which the machine's load does not change)\n",
      (kMostSlowdown - 1.0) * 100.0, kex::bench::verdict(slowdown <= kMostSlowdown),
      kex::bench::verdict(cpuGrowth <= kMostSlowdown));
}

}  // namespace

int main(int argc, char** argv) {
  return kex::bench::runBenchmark("kex_accessibility_bench", argc, argv, measure);
}

// kex_input_bench: what guarded input costs, whole requests over kex-computer's pipes, on a
// private desktop with the GTK test application in front:
//
//  1. "computer.pointer" click: every guard (capture, window, focus, hit test) and the press and
//     release through the controller and its watchdog; target median at most 1.5 ms.
//  2. "computer.keyboard" with a text of 20 characters the keymap has: one chunk, its guards and
//     its key-down and key-up; target median at most 3 ms. Beside it, for information, 20
//     characters the keymap lacks, which are bound for the moment and taken back once the
//     application has read them.
//  3. For comparison, what a script does without any guard: one `xdotool mousemove X Y click
//     --delay 0 1` process per click; the ratio of its median to the guarded click's.
//
// Usage: kex_input_bench [--clicks N] [--texts M] [--spawns K]
// Runs on the main thread.
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_common.h"

namespace {

using kex::bench::Clock;
using kex::bench::FigureTable;
using kex::bench::millisecondsSince;
using kex::bench::printRatio;
using kex::bench::summarize;
using kex::bench::Summary;
using kex::bench::Tail;
using kex::harness::Helper;
using nlohmann::json;

constexpr const char* kTitle = "kex input bench";
constexpr double kClickTargetMs = 1.5;
constexpr double kTextTargetMs = 3.0;
// A capture drives input for less than 30 seconds; a fresh one is taken well before that.
constexpr auto kCaptureLifetime = std::chrono::seconds(20);

// Reads whatever the application has said, so that its output pipe never fills and stalls it.
void drain(kex::harness::TestApp& app) {
  while (app.process().readLine(kex::harness::deadlineIn(std::chrono::milliseconds(0)))) {
  }
}

// A host acts on what it sees: between two inputs it reads the screen again, and the application
// has handled the last input meanwhile. The pause keeps the samples from measuring an
// application still busy with the input before.
void settle() { std::this_thread::sleep_for(std::chrono::milliseconds(20)); }

// The window's capture and the request lines that act on it, made once per capture.
class Target {
 public:
  Target(Helper& computer) : computer_(computer) { refresh(); }

  // Takes a fresh capture when the last one is getting old.
  void keepFresh() {
    if (Clock::now() - captured_ > kCaptureLifetime) refresh();
  }

  [[nodiscard]] std::string line(const std::string& operation, json args) const {
    for (const auto& [key, value] : fresh_.items()) args[key] = value;
    args["captureId"] = captureId_;
    return Helper::envelope("bench", operation, args);
  }

  [[nodiscard]] const json& capture() const { return capture_; }

 private:
  void refresh() {
    const auto deadline = kex::harness::deadlineIn(std::chrono::seconds(15));
    while (!kex::harness::hasPassed(deadline)) {
      fresh_ = computer_.freshnessArgs();
      const json listing = computer_.request("computer.windows", fresh_);
      if (!listing.value("ok", false)) continue;
      for (const auto& window : listing["result"]["windows"]) {
        if (window.value("title", "") != kTitle) continue;
        json args = fresh_;
        args["targetId"] = window["targetId"];
        const json capture = computer_.request("computer.capture", args);
        if (!capture.value("ok", false)) continue;
        capture_ = capture["result"];
        capture_.erase("image");
        captureId_ = capture_["captureId"];
        captured_ = Clock::now();
        return;
      }
    }
    throw std::runtime_error("the benchmark window could not be captured");
  }

  Helper& computer_;
  json fresh_;
  json capture_;
  std::string captureId_;
  Clock::time_point captured_;
};

// Times one request line, which must succeed.
double timeRequest(Helper& computer, const std::string& line) {
  const auto start = Clock::now();
  if (!computer.sendLine(line)) throw std::runtime_error("kex-computer stopped reading");
  const auto answer = computer.readResponseLine();
  const double elapsed = millisecondsSince(start);
  if (!answer) throw std::runtime_error("kex-computer stopped answering");
  if (json::parse(*answer, nullptr, false).value("ok", false) != true) {
    throw std::runtime_error("refused: " + *answer);
  }
  return elapsed;
}

void measure(const kex::bench::Options& options) {
  const int clicks = options.count("--clicks", 1000);
  const int texts = options.count("--texts", 300);
  const int spawns = options.count("--spawns", 50);

  kex::bench::BenchDesktop bench({.width = 1920, .height = 1080});
  auto app =
      bench.desktop().startApp({"--title", kTitle, "--position", "100,100", "--size", "480x320"});
  Helper& computer = bench.computer();
  const json status = computer.request("status");
  if (!status["result"].value("controlReady", false)) {
    throw std::runtime_error("control is not ready on the private desktop: " + status.dump());
  }
  Target target(computer);

  // The background below the buttons: a click there changes nothing in the window.
  const long x = target.capture()["width"].get<long>() / 2;
  const long y = target.capture()["height"].get<long>() - 30;
  std::vector<double> clickTimes;
  for (int i = 0; i < clicks; ++i) {
    target.keepFresh();
    clickTimes.push_back(timeRequest(
        computer, target.line("computer.pointer", {{"action", "click"}, {"x", x}, {"y", y}})));
    drain(*app);
    settle();
  }

  // The entry takes the text; it is emptied between samples, untimed, so that the
  // application's reports stay short.
  const json entry = {{"action", "click"}, {"x", 60}, {"y", 70}};
  const auto typeSamples = [&](const std::string& text) {
    std::vector<double> times;
    for (int i = 0; i < texts; ++i) {
      target.keepFresh();
      settle();
      times.push_back(timeRequest(computer, target.line("computer.keyboard", {{"text", text}})));
      (void)timeRequest(
          computer, target.line("computer.keyboard", {{"key", "a"}, {"modifiers", {"control"}}}));
      (void)timeRequest(computer, target.line("computer.keyboard", {{"key", "Backspace"}}));
      drain(*app);
    }
    return times;
  };
  (void)timeRequest(computer, target.line("computer.pointer", entry));
  const auto plainTimes = typeSamples("abcdefghij klmnopqrs");
  const auto boundTimes = typeSamples(
      "\u00e9\u00e8\u00ea\u00eb\u00e0\u00e2\u00f4\u00fb\u00f9\u00e7"
      "\u2014\u2713\u20ac\u00df\u00f1\u00f6\u00e4\u00fc\u00ee\u00ef");

  const std::string screenX = std::to_string(target.capture()["sourceRect"]["x"].get<long>() + x);
  const std::string screenY = std::to_string(target.capture()["sourceRect"]["y"].get<long>() + y);
  std::vector<double> spawnTimes;
  for (int i = 0; i < spawns; ++i) {
    const auto start = Clock::now();
    const auto ending = bench.desktop().runTool(
        {"xdotool", "mousemove", screenX, screenY, "click", "--delay", "0", "1"});
    spawnTimes.push_back(millisecondsSince(start));
    if (ending.exitStatus != 0) throw std::runtime_error("xdotool failed");
    drain(*app);
  }

  const Summary click = summarize(clickTimes);
  const Summary plain = summarize(plainTimes);
  const Summary bound = summarize(boundTimes);
  const Summary spawn = summarize(spawnTimes);
  std::printf("kex_input_bench: 1920x1080 private desktop, the GTK test application in front\n");
  FigureTable table("whole request over the pipes", Tail::p99);
  table.row("guarded click (" + std::to_string(clicks) + ")", click, kClickTargetMs);
  table.row("text of 20 keymap characters (" + std::to_string(texts) + ")", plain, kTextTargetMs);
  table.row("text of 20 bound characters (" + std::to_string(texts) + ")", bound);
  table.row("xdotool mousemove click, no guard (" + std::to_string(spawns) + ")", spawn);
  printRatio("xdotool process per click / guarded click", spawn.medianMs / click.medianMs);
}

}  // namespace

int main(int argc, char** argv) {
  return kex::bench::runBenchmark("kex_input_bench", argc, argv, measure);
}

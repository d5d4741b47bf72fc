// kex_capture_bench: the whole "computer.capture" request over kex-computer's pipes (verify,
// grab, scale, encode, base64, response line) for a display and for a partly covered 800x600
// window, on a private 1920x1080 desktop with a few windows open; beside it, what a script pays
// for the same picture with scrot, convert and base64; and kex-computer's peak memory after
// 100 and after 1000 captures; and the first window capture of new kex-computer processes,
// which waits for the application to paint its window, against their second. Runs on the main
// thread only.
//
// Usage: kex_capture_bench [--captures N] [--alternatives M] [--helpers K] [--save DIR]
//   --save DIR writes one display and one window capture there as PNG files, to look at.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "bench/bench_common.h"

namespace kex::bench {
namespace {

using harness::Helper;
using harness::VirtualDesktop;
using nlohmann::json;

constexpr int kWarmUpCaptures = 20;
constexpr int kFirstMemoryMark = 100;
constexpr int kLastMemoryMark = 1000;
constexpr int kDisplayWidth = 1024;
constexpr char kTargetTitle[] = "kex capture bench target";

// VmHWM and VmRSS of a process, in KiB.
struct Memory {
  long peakKib = 0;
  long residentKib = 0;
};

Memory memoryOf(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  Memory memory;
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) memory.peakKib = std::atol(line.c_str() + 6);
    if (line.rfind("VmRSS:", 0) == 0) memory.residentKib = std::atol(line.c_str() + 6);
  }
  return memory;
}

std::vector<std::uint8_t> decodeBase64(std::string_view text) {
  static constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::vector<std::uint8_t> bytes;
  std::uint32_t bits = 0;
  int count = 0;
  for (const char c : text) {
    const auto value = kAlphabet.find(c);
    if (value == std::string_view::npos) continue;  // padding
    bits = (bits << 6) | static_cast<std::uint32_t>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      bytes.push_back(static_cast<std::uint8_t>(bits >> count));
    }
  }
  return bytes;
}

// The captures of one kex-computer, counted so that its memory can be read at the marks.
class Capturer {
 public:
  explicit Capturer(Helper& helper) : helper_(helper) { refresh(); }

  // One timed capture of the target; a target that aged out is listed again, untimed.
  double capture(bool display) {
    for (;;) {
      const std::string line =
          Helper::envelope(helper_.nextId(), "computer.capture",
                           {{"sessionId", fresh_["sessionId"]},
                            {"topologyRevision", fresh_["topologyRevision"]},
                            {"targetId", display ? displayTarget_ : windowTarget_},
                            {"maxWidth", kDisplayWidth}});
      const auto start = Clock::now();
      helper_.sendLine(line);
      const auto response = helper_.readResponseLine();
      const double elapsed = millisecondsSince(start);
      if (!response) throw std::runtime_error("kex-computer stopped answering");
      last_ = json::parse(*response, nullptr, false);
      if (last_.value("error", "") == "target_stale") {
        refresh();
        continue;
      }
      if (!last_.value("ok", false) || last_["result"].value("image", "").empty()) {
        throw std::runtime_error("capture failed: " + response->substr(0, 300));
      }
      noteCapture();
      return elapsed;
    }
  }

  std::vector<double> captureMany(bool display, int count) {
    std::vector<double> samples;
    samples.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) samples.push_back(capture(display));
    return samples;
  }

  [[nodiscard]] int count() const { return count_; }
  [[nodiscard]] const json& last() const { return last_; }
  [[nodiscard]] const std::optional<Memory>& atFirstMark() const { return firstMark_; }
  [[nodiscard]] const std::optional<Memory>& atLastMark() const { return lastMark_; }
  [[nodiscard]] const json& windowEntry() const { return windowEntry_; }

 private:
  void refresh() {
    fresh_ = helper_.freshnessArgs();
    const auto displays = helper_.request("computer.displays", fresh_);
    displayTarget_ = displays.at("result").at("displays").at(0).at("targetId");
    const auto windows = helper_.request("computer.windows", fresh_);
    for (const auto& window : windows.at("result").at("windows")) {
      if (window.value("title", "") == kTargetTitle) {
        windowTarget_ = window.at("targetId");
        windowEntry_ = window;
      }
    }
    if (windowTarget_.empty()) throw std::runtime_error("the target window is not listed");
  }

  void noteCapture() {
    ++count_;
    const pid_t pid = helper_.process().pid();
    if (count_ == kFirstMemoryMark) firstMark_ = memoryOf(pid);
    if (count_ == kLastMemoryMark) lastMark_ = memoryOf(pid);
  }

  Helper& helper_;
  json fresh_;
  std::string displayTarget_;
  std::string windowTarget_;
  json windowEntry_;
  json last_;
  int count_ = 0;
  std::optional<Memory> firstMark_;
  std::optional<Memory> lastMark_;
};

// The windows of a busy desktop: the target, and others around and over it.
std::vector<std::unique_ptr<harness::TestApp>> openWindows(VirtualDesktop& desktop) {
  const std::vector<std::vector<std::string>> windows = {
      {"--title", kTargetTitle, "--color", "3366cc", "--size", "800x600", "--position", "200,150"},
      {"--title", "over the target", "--color", "cc3333", "--size", "500x300", "--position",
       "750,550"},
      {"--title", "right", "--color", "22aa55", "--size", "600x400", "--position", "1150,80"},
      {"--title", "bottom left", "--color", "ccaa22", "--size", "450x300", "--position", "40,700"},
      {"--title", "bottom right", "--color", "8844aa", "--size", "650x330", "--position",
       "1200,640"},
  };
  std::vector<std::unique_ptr<harness::TestApp>> apps;
  for (const auto& args : windows) apps.push_back(desktop.startApp(args));
  return apps;
}

// scrot to a file, convert to 1024 wide, base64 of the result: each a process of its own.
std::vector<double> timeAlternative(VirtualDesktop& desktop, int count) {
  const std::string shot = desktop.runtimeDir() + "/bench-shot.png";
  const std::string scaled = desktop.runtimeDir() + "/bench-scaled.png";
  const std::vector<std::vector<std::string>> steps = {
      {"scrot", "--overwrite", shot},
      {"convert", shot, "-resize", std::to_string(kDisplayWidth) + "x", scaled},
      {"base64", "--wrap=0", scaled},
  };
  std::vector<double> samples;
  for (int i = 0; i < count; ++i) {
    const auto start = Clock::now();
    for (const auto& step : steps) {
      const auto result = desktop.runTool(step);
      if (result.exitStatus != 0) throw std::runtime_error(step.front() + " failed");
    }
    samples.push_back(millisecondsSince(start));
  }
  return samples;
}

// First and second captures of the target window by new kex-computer processes, one after
// another. The first redirects the window and waits until the application has painted it; the
// window keeps its pixmap for the second.
struct FirstCaptures {
  std::vector<double> first;
  std::vector<double> second;
};

FirstCaptures timeFirstCaptures(VirtualDesktop& desktop, int helpers) {
  FirstCaptures samples;
  for (int i = 0; i < helpers; ++i) {
    kex::harness::HelperOptions options;
    options.program = KEX_COMPUTER_PATH;
    options.env = desktop.env();
    Helper helper(std::move(options));
    Capturer capturer(helper);
    samples.first.push_back(capturer.capture(false));
    samples.second.push_back(capturer.capture(false));
    helper.closeInput();
    (void)helper.waitExit(kex::harness::deadlineIn(std::chrono::seconds(10)));
  }
  return samples;
}

void savePng(const std::string& dir, const std::string& name, const json& response) {
  if (dir.empty()) return;
  const auto bytes = decodeBase64(response.at("result").at("image").get<std::string>());
  std::ofstream(dir + "/" + name, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

void measure(const Options& options) {
  const int captures = options.count("--captures", 300);
  const int alternatives = options.count("--alternatives", 20);
  const std::string saveDir = options.text("--save");
  BenchDesktop bench({.width = 1920, .height = 1080});
  VirtualDesktop& desktop = bench.desktop();
  const auto apps = openWindows(desktop);
  const FirstCaptures firstCaptures = timeFirstCaptures(desktop, options.count("--helpers", 20));
  Capturer capturer(bench.computer());

  // The first captures redirect the window and warm caches; they are not counted.
  (void)capturer.captureMany(true, kWarmUpCaptures);
  savePng(saveDir, "display.png", capturer.last());
  (void)capturer.captureMany(false, kWarmUpCaptures);
  savePng(saveDir, "window.png", capturer.last());
  const json windowSize = {capturer.last()["result"]["width"], capturer.last()["result"]["height"]};

  const Summary display = summarize(capturer.captureMany(true, captures));
  const Summary window = summarize(capturer.captureMany(false, captures));
  const Summary alternative = summarize(timeAlternative(desktop, alternatives));
  for (bool nextIsDisplay = true; capturer.count() < kLastMemoryMark;
       nextIsDisplay = !nextIsDisplay) {
    (void)capturer.capture(nextIsDisplay);
  }

  std::printf(
      "kex_capture_bench: %d timed captures of each kind, one at a time, on a private "
      "1920x1080 desktop %s with %zu windows\n",
      captures, desktop.display().c_str(), apps.size());
  std::printf("display captured at %dx%d; window \"%s\" (frame %s) at %sx%s\n\n", kDisplayWidth,
              kDisplayWidth * 1080 / 1920, kTargetTitle,
              capturer.windowEntry()["sourceRect"].dump().c_str(), windowSize[0].dump().c_str(),
              windowSize[1].dump().c_str());
  const FigureTable table("request", Tail::p99);
  table.row("computer.capture, display, maxWidth 1024", display, 12.0);
  table.row("computer.capture, 800x600 window", window, 10.0);
  std::printf("\nalternative, measured in the same run (%d runs):\n", alternatives);
  table.row("scrot; convert -resize 1024x; base64", alternative);
  printRatio("alternative / display capture", alternative.medianMs / display.medianMs, 25.0);

  const Summary firstCapture = summarize(firstCaptures.first);
  const Summary secondCapture = summarize(firstCaptures.second);
  std::printf("\nfirst window capture of a new kex-computer (%zu processes):\n",
              firstCaptures.first.size());
  table.row("computer.capture, first of the process", firstCapture, 30.0);
  table.row("computer.capture, second of the process", secondCapture);
  printRatio("first / second", firstCapture.medianMs / secondCapture.medianMs);

  const auto& first = capturer.atFirstMark();
  const auto& last = capturer.atLastMark();
  if (!first || !last) return;
  const long growth = last->peakKib - first->peakKib;
  std::printf(
      "\nkex-computer memory: VmHWM %ld KiB (VmRSS %ld KiB) after %d captures, VmHWM %ld KiB "
      "(VmRSS %ld KiB) after %d; peak growth %ld KiB   <= 4 MiB %s\n",
      first->peakKib, first->residentKib, kFirstMemoryMark, last->peakKib, last->residentKib,
      kLastMemoryMark, growth, verdict(growth <= 4096));
}

}  // namespace
}  // namespace kex::bench

int main(int argc, char** argv) {
  return kex::bench::runBenchmark("kex_capture_bench", argc, argv, kex::bench::measure);
}

// kex_kill_stress: SIGKILL a controller at a random moment while it presses and holds keys and
// buttons, and count the rounds that leave anything pressed once its release watchdog has ended.
// The controller is kex-control-probe (kex-computer's input safety on the X11 backend) with
// kex-computer as its watchdog, on a private desktop. Each round: start the probe, arm it, stream
// key presses (with modifiers), button presses and releases at it without waiting for answers,
// kill it after a random delay, wait for its watchdog to end, then ask the X server what is down.
//
// Usage: kex_kill_stress [--rounds N] [--max-delay-ms D] [--seed S]
// Runs on the main thread.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench/bench_common.h"
#include "tools/harness/child_process.h"
#include "tools/harness/virtual_desktop.h"

namespace {

using kex::bench::Clock;
using kex::bench::millisecondsSince;
using kex::harness::deadlineIn;

// The virtual key codes the controller's keyboard uses, and its modifier flags.
constexpr int kKeys[] = {36, 48, 53, 51, 123, 124, 125, 126, 0, 8, 9, 7, 6};
constexpr long kModifiers[] = {0x20000, 0x40000, 0x80000, 0x100000};

// Asks the X server what is down, and lets go of it between rounds.
class Inspector {
 public:
  explicit Inspector(const std::string& display)
      : connection_(xcb_connect(display.c_str(), nullptr)) {
    if (xcb_connection_has_error(connection_)) throw std::runtime_error("cannot connect");
    root_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
  }
  ~Inspector() { xcb_disconnect(connection_); }

  std::vector<int> pressedKeys() {
    std::unique_ptr<xcb_query_keymap_reply_t, decltype(&std::free)> reply(
        xcb_query_keymap_reply(connection_, xcb_query_keymap(connection_), nullptr), &std::free);
    std::vector<int> keys;
    if (!reply) return keys;
    for (int code = 0; code < 256; ++code) {
      if ((reply->keys[code / 8] >> (code % 8)) & 1) keys.push_back(code);
    }
    return keys;
  }

  std::vector<int> pressedButtons() {
    std::unique_ptr<xcb_query_pointer_reply_t, decltype(&std::free)> reply(
        xcb_query_pointer_reply(connection_, xcb_query_pointer(connection_, root_), nullptr),
        &std::free);
    std::vector<int> buttons;
    if (!reply) return buttons;
    for (int button = 1; button <= 5; ++button) {
      if (reply->mask & (XCB_BUTTON_MASK_1 << (button - 1))) buttons.push_back(button);
    }
    return buttons;
  }

  bool anythingPressed() { return !pressedKeys().empty() || !pressedButtons().empty(); }

  void releaseEverything() {
    for (int key : pressedKeys()) fake(XCB_KEY_RELEASE, static_cast<std::uint8_t>(key));
    for (int button : pressedButtons()) fake(XCB_BUTTON_RELEASE, static_cast<std::uint8_t>(button));
    std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
  }

 private:
  void fake(std::uint8_t type, std::uint8_t detail) {
    xcb_test_fake_input(connection_, type, detail, XCB_CURRENT_TIME, root_, 0, 0, 0);
  }

  xcb_connection_t* connection_;
  xcb_window_t root_;
};

struct RoundResult {
  bool leftPressed = false;
  bool watchdogExitedZero = false;
  double killToReleaseMs = 0;
  std::string leftovers;
};

std::string commandStream(std::mt19937& random) {
  std::string stream;
  std::uniform_int_distribution<int> keyPick(0, std::size(kKeys) - 1);
  std::uniform_int_distribution<int> modifierMask(0, 15);
  std::uniform_int_distribution<int> coordinate(0, 500);
  for (int i = 0; i < 150; ++i) {
    long flags = 0;
    const int mask = modifierMask(random);
    for (int bit = 0; bit < 4; ++bit) {
      if (mask & (1 << bit)) flags |= kModifiers[bit];
    }
    stream +=
        "key-down " + std::to_string(kKeys[keyPick(random)]) + " " + std::to_string(flags) + "\n";
    stream += "button-down " + std::to_string(coordinate(random)) + " " +
              std::to_string(coordinate(random)) + "\n";
    if (i % 3 == 2) stream += "release\n";
  }
  return stream;
}

RoundResult runRound(kex::harness::VirtualDesktop& desktop, Inspector& inspector,
                     std::mt19937& random, int maxDelayMs) {
  kex::harness::ChildOptions options;
  options.argv = {KEX_CONTROL_PROBE_PATH, KEX_COMPUTER_PATH};
  options.env = desktop.env();
  options.stdinFrom = kex::harness::Stream::pipe;
  options.stdoutTo = kex::harness::Stream::pipe;
  kex::harness::ChildProcess probe(std::move(options));
  probe.writeLine("begin");
  probe.writeLine("watchdog");
  const auto begun = probe.readLine(deadlineIn(std::chrono::seconds(10)));
  const auto pid = probe.readLine(deadlineIn(std::chrono::seconds(10)));
  if (!begun || *begun != "ok" || !pid || *pid == "none") {
    throw std::runtime_error("the probe did not arm: " + begun.value_or("(nothing)"));
  }
  const pid_t watchdog = static_cast<pid_t>(std::stol(*pid));

  const std::string stream = commandStream(random);
  std::uniform_int_distribution<int> delayUs(0, maxDelayMs * 1000);
  probe.writeRaw(stream);
  std::this_thread::sleep_for(std::chrono::microseconds(delayUs(random)));
  probe.signal(SIGKILL);
  const auto killed = Clock::now();
  (void)probe.waitExit(deadlineIn(std::chrono::seconds(10)));

  RoundResult result;
  while (inspector.anythingPressed() && millisecondsSince(killed) < 2000) {
  }
  result.killToReleaseMs = millisecondsSince(killed);
  int status = -1;
  result.watchdogExitedZero =
      ::waitpid(watchdog, &status, 0) == watchdog && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  for (int key : inspector.pressedKeys()) result.leftovers += " key " + std::to_string(key);
  for (int button : inspector.pressedButtons()) {
    result.leftovers += " button " + std::to_string(button);
  }
  result.leftPressed = !result.leftovers.empty();
  if (result.leftPressed) inspector.releaseEverything();
  return result;
}

// The round count is the one figure that matters most, so it can be raised as far as time allows.
void measure(const kex::bench::Options& options) {
  const int rounds = options.count("--rounds", 1000);
  const int maxDelayMs = options.count("--max-delay-ms", 20);
  const auto seed = static_cast<unsigned>(options.count("--seed", 1));

  // Orphaned watchdogs come to this process, which then learns how each ended.
  if (::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) throw std::runtime_error("prctl failed");
  kex::harness::DesktopOptions desktopOptions;
  desktopOptions.accessibilityBus = false;
  desktopOptions.windowManager = false;
  kex::harness::VirtualDesktop desktop(desktopOptions);
  Inspector inspector(desktop.display());
  std::mt19937 random(seed);

  const auto started = Clock::now();
  int leftPressed = 0;
  int badExits = 0;
  std::vector<double> releaseTimes;
  for (int round = 0; round < rounds; ++round) {
    const RoundResult result = runRound(desktop, inspector, random, maxDelayMs);
    releaseTimes.push_back(result.killToReleaseMs);
    if (result.leftPressed) {
      ++leftPressed;
      std::printf("round %d left pressed:%s\n", round, result.leftovers.c_str());
    }
    if (!result.watchdogExitedZero) ++badExits;
  }
  const double seconds = millisecondsSince(started) / 1000.0;
  std::printf("kex_kill_stress: %d rounds in %.1f s on %s (kills after 0 to %d ms of streaming)\n",
              rounds, seconds, desktop.display().c_str(), maxDelayMs);
  std::printf("rounds that left anything pressed: %d of %d   (goal 0)\n", leftPressed, rounds);
  std::printf("watchdogs that did not exit with status 0: %d\n\n", badExits);
  const kex::bench::FigureTable table("measure", kex::bench::Tail::p99);
  table.row("kill to nothing held", kex::bench::summarize(releaseTimes));
  if (leftPressed != 0 || badExits != 0) {
    throw std::runtime_error("some rounds left input pressed or a watchdog failed");
  }
}

}  // namespace

int main(int argc, char** argv) {
  return kex::bench::runBenchmark("kex_kill_stress", argc, argv, measure);
}

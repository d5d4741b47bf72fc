// kex_control_bench: what guarded input costs on a private desktop, with kex-computer's input
// safety running in this process on the X11 backend and kex-computer as its release watchdog.
//
//  1. One key press and release through the controller (the watchdog told before the press and
//     after the release), against the same two events posted straight to the backend, and
//     against spawning `xdotool key`.
//  2. Human input to release: while the controller holds the left button, another client moves
//     the pointer; the time until the X server shows the button up. Against the controller
//     releasing the button itself, timed the same way.
//
// Usage: kex_control_bench [--presses N] [--interruptions M] [--spawns K]
// Runs on the main thread; the controller's monitor thread runs beside it.
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "bench/bench_common.h"
#include "main/common/failure.h"
#include "main/safety/input_safety.h"
#include "main/safety/watchdog_process.h"
#include "main/session/session_state.h"
#include "platform/linux/linux_desktop.h"
#include "tools/harness/virtual_desktop.h"

namespace {

using kex::bench::Clock;
using kex::bench::FigureTable;
using kex::bench::millisecondsSince;
using kex::bench::printRatio;
using kex::bench::summarize;
using kex::bench::Summary;
using kex::bench::Tail;
using kex::platform::Event;
using kex::platform::EventType;

// This process joins the desktop: the backend and the watchdog child read DISPLAY and
// XDG_RUNTIME_DIR from the environment.
void joinDesktop(const kex::harness::VirtualDesktop& desktop) {
  for (const auto& [name, value] : desktop.env()) {
    if (value) {
      ::setenv(name.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name.c_str());
    }
  }
}

Event keyEvent(EventType type) {
  Event event;
  event.type = type;
  event.keyCode = 0;  // 'a'
  return event;
}

Event buttonEvent(EventType type, double x, double y) {
  Event event;
  event.type = type;
  event.location = {x, y};
  return event;
}

// Another client of the display: it moves the pointer and watches the buttons.
class Bystander {
 public:
  explicit Bystander(const std::string& display)
      : connection_(xcb_connect(display.c_str(), nullptr)) {
    if (xcb_connection_has_error(connection_)) throw std::runtime_error("cannot connect");
    root_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
  }
  ~Bystander() { xcb_disconnect(connection_); }

  void movePointer(std::int16_t x, std::int16_t y) {
    xcb_test_fake_input(connection_, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root_, x, y, 0);
    xcb_flush(connection_);
  }

  bool leftButtonDown() {
    std::unique_ptr<xcb_query_pointer_reply_t, decltype(&std::free)> reply(
        xcb_query_pointer_reply(connection_, xcb_query_pointer(connection_, root_), nullptr),
        &std::free);
    return reply && (reply->mask & XCB_BUTTON_MASK_1) != 0;
  }

  // Milliseconds until the left button is up, asking the server again and again.
  double millisecondsUntilLeftButtonUp(Clock::time_point start) {
    while (leftButtonDown()) {
      if (millisecondsSince(start) > 5000) throw std::runtime_error("the button stayed down");
    }
    return millisecondsSince(start);
  }

 private:
  xcb_connection_t* connection_;
  xcb_window_t root_;
};

// Starts kex-computer as the watchdog and remembers the child, so that a round can wait for it
// to end (and free the control lock) before the next controller begins.
class WatchdogLauncher {
 public:
  kex::InputSafetyOptions options() {
    kex::InputSafetyOptions options;
    options.launchWatchdog = [this]() -> std::unique_ptr<kex::WatchdogChannel> {
      auto process = kex::WatchdogProcess::launch(KEX_COMPUTER_PATH);
      pid_ = process->pid();
      pidFd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
      return process;
    };
    return options;
  }

  void awaitEnd() {
    if (pidFd_ < 0) return;
    pollfd entry{pidFd_, POLLIN, 0};
    (void)::poll(&entry, 1, 5000);
    ::close(pidFd_);
    pidFd_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int pidFd_ = -1;
};

void require(bool condition, const char* what) {
  if (!condition) throw std::runtime_error(what);
}

std::vector<double> timeGuardedPresses(kex::InputSafety& safety, int count) {
  std::vector<double> samples;
  for (int i = 0; i < count; ++i) {
    const auto start = Clock::now();
    safety.post(keyEvent(EventType::keyDown), keyEvent(EventType::keyUp), 0);
    safety.release();
    samples.push_back(millisecondsSince(start));
  }
  return samples;
}

std::vector<double> timeBarePresses(kex::platform::EventServices& events, int count) {
  std::vector<double> samples;
  for (int i = 0; i < count; ++i) {
    const auto start = Clock::now();
    events.post(keyEvent(EventType::keyDown));
    events.post(keyEvent(EventType::keyUp));
    samples.push_back(millisecondsSince(start));
  }
  return samples;
}

std::vector<double> timeXdotool(kex::harness::VirtualDesktop& desktop, int count) {
  std::vector<double> samples;
  for (int i = 0; i < count; ++i) {
    const auto start = Clock::now();
    const auto result = desktop.runTool({"xdotool", "key", "a"});
    samples.push_back(millisecondsSince(start));
    require(result.exitStatus == 0, "xdotool key failed");
  }
  return samples;
}

enum class ReleasedBy { humanInput, controller };

// One fresh controller per round: human input stops control for good.
std::vector<double> timeReleases(kex::platform::Desktop& desktop, kex::SessionGate& gate,
                                 Bystander& bystander, int count, ReleasedBy by) {
  std::vector<double> samples;
  WatchdogLauncher launcher;
  for (int i = 0; i < count; ++i) {
    {
      kex::InputSafety safety(desktop, gate, launcher.options());
      safety.begin();
      const double x = 100 + i % 50;
      safety.post(buttonEvent(EventType::leftMouseDown, x, 100),
                  buttonEvent(EventType::leftMouseUp, x, 100));
      require(bystander.leftButtonDown(), "the controller's press did not arrive");
      const auto start = Clock::now();
      if (by == ReleasedBy::humanInput) {
        bystander.movePointer(static_cast<std::int16_t>(600 + i % 50), 400);
      } else {
        safety.release();
      }
      samples.push_back(bystander.millisecondsUntilLeftButtonUp(start));
      if (by == ReleasedBy::humanInput) {
        require(safety.stopReason() == kex::codes::humanInterrupted, "not interrupted");
      }
      safety.release();
    }
    launcher.awaitEnd();
  }
  return samples;
}

void measure(const kex::bench::Options& options) {
  const int presses = options.count("--presses", 2000);
  const int interruptions = options.count("--interruptions", 50);
  const int spawns = options.count("--spawns", 50);

  kex::harness::VirtualDesktop virtualDesktop({.width = 1920, .height = 1080});
  joinDesktop(virtualDesktop);
  auto desktop = kex::platform::linux_desktop::openDesktop();
  kex::SessionGate gate(desktop->session());
  Bystander bystander(virtualDesktop.display());

  Summary guarded;
  Summary bare;
  {
    WatchdogLauncher launcher;
    kex::InputSafety safety(*desktop, gate, launcher.options());
    safety.begin();
    timeGuardedPresses(safety, 100);  // warm-up, not counted
    guarded = summarize(timeGuardedPresses(safety, presses));
    bare = summarize(timeBarePresses(desktop->events(), presses));
    require(!safety.stopped(), "control stopped during the presses");
  }
  const Summary human =
      summarize(timeReleases(*desktop, gate, bystander, interruptions, ReleasedBy::humanInput));
  const Summary direct =
      summarize(timeReleases(*desktop, gate, bystander, interruptions, ReleasedBy::controller));
  const Summary xdotool = summarize(timeXdotool(virtualDesktop, spawns));

  std::printf(
      "kex_control_bench: private 1920x1080 desktop %s; %d presses, %d interruptions and "
      "%d own releases (one controller each), %d xdotool spawns\n\n",
      virtualDesktop.display().c_str(), presses, interruptions, interruptions, spawns);
  const FigureTable table("measure", Tail::p99);
  table.row("press+release through the controller", guarded, 0.5);
  table.row("human input to release (button up)", human, 10.0);
  std::printf("\nalternatives, measured in the same run:\n");
  table.row("press+release posted straight to XTEST", bare);
  table.row("spawn `xdotool key a`", xdotool);
  table.row("controller's own release() to button up", direct);
  std::printf("\n");
  printRatio("guarded / straight", guarded.medianMs / bare.medianMs);
  printRatio("xdotool / guarded", xdotool.medianMs / guarded.medianMs);
  printRatio("human-input release / own release", human.medianMs / direct.medianMs);
}

}  // namespace

int main(int argc, char** argv) {
  return kex::bench::runBenchmark("kex_control_bench", argc, argv, measure);
}

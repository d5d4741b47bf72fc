// kex-control-probe: the input-safety controller of kex-computer on the real X11 backend, driven
// by one command per line. kex-computer's own requests press and release within one request and
// never leave a key down between lines; the probe holds keys and buttons across lines for as long
// as a test or benchmark wants, so that it can kill the controller, move the pointer as a person
// would, or count what the monitor heard while input is held. Each command gets one answer line.
// At end of input control is cancelled (releasing what is held) and the probe exits with status 0.
//
// Usage: kex-control-probe WATCHDOG_PROGRAM
//   ready                 -> true | false             (controlReady)
//   begin | check         -> ok | error <code>
//   key-down CODE FLAGS   -> ok | error <code>        (a key press with its release registered)
//   button-down X Y       -> ok | error <code>        (left button, release registered)
//   move X Y              -> ok | error <code>
//   release               -> ok
//   watchdog              -> <pid> | none
//   observed              -> <own> <human>            (inputs the monitor has heard of so far)
//   state                 -> armed|unarmed running|stopped <reason>
//
// Runs on its main thread; the monitor thread only counts what it forwards.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include "main/common/failure.h"
#include "main/safety/input_safety.h"
#include "main/safety/watchdog_process.h"
#include "main/session/session_state.h"
#include "platform/linux/linux_desktop.h"

namespace {

using kex::platform::Event;
using kex::platform::EventType;

// Forwards what the tap sees, then counts it: once a count is read, the controller has heard of
// that input.
class CountingListener final : public kex::platform::InputTapListener {
 public:
  explicit CountingListener(kex::platform::InputTapListener& target)
      : target_(target), ownPid_(static_cast<std::int32_t>(::getpid())) {}

  void inputObserved(const kex::platform::ObservedInput& input) override {
    target_.inputObserved(input);
    (input.sourceProcessId == ownPid_ ? own : human).fetch_add(1);
  }
  void tapDisabled() override { target_.tapDisabled(); }

  std::atomic<long> own{0};
  std::atomic<long> human{0};

 private:
  kex::platform::InputTapListener& target_;
  std::int32_t ownPid_;
};

class CountingEvents final : public kex::platform::EventServices {
 public:
  explicit CountingEvents(kex::platform::EventServices& target) : target_(target) {}

  void post(const Event& event) override { target_.post(event); }
  std::int32_t maxScrollLines() override { return target_.maxScrollLines(); }
  void undoAbandonedTyping() override { target_.undoAbandonedTyping(); }
  std::unique_ptr<kex::platform::InputTap> createInputTap(
      kex::platform::InputTapListener& listener) override {
    listener_ = std::make_unique<CountingListener>(listener);
    return target_.createInputTap(*listener_);
  }

  [[nodiscard]] std::string counts() const {
    if (!listener_) return "0 0";
    return std::to_string(listener_->own.load()) + " " + std::to_string(listener_->human.load());
  }

 private:
  kex::platform::EventServices& target_;
  std::unique_ptr<CountingListener> listener_;  // set once, before the tap runs
};

// The X11 desktop with its event services counted.
class ProbeDesktop final : public kex::platform::Desktop {
 public:
  explicit ProbeDesktop(std::unique_ptr<kex::platform::Desktop> real)
      : real_(std::move(real)), events_(real_->events()) {}

  kex::platform::SessionServices& session() override { return real_->session(); }
  kex::platform::SystemServices& system() override { return real_->system(); }
  kex::platform::DisplayServices& displays() override { return real_->displays(); }
  kex::platform::WindowServices& windows() override { return real_->windows(); }
  kex::platform::CaptureServices& capture() override { return real_->capture(); }
  kex::platform::AccessibilityServices& accessibility() override { return real_->accessibility(); }
  kex::platform::EventServices& events() override { return events_; }
  kex::platform::Clock& clock() override { return real_->clock(); }

  [[nodiscard]] std::string counts() const { return events_.counts(); }

 private:
  std::unique_ptr<kex::platform::Desktop> real_;
  CountingEvents events_;
};

Event pointer(EventType type, double x, double y) {
  Event event;
  event.type = type;
  event.location = {x, y};
  return event;
}

Event key(EventType type, std::uint16_t code, std::uint64_t flags) {
  Event event;
  event.type = type;
  event.keyCode = code;
  event.flags = flags;
  return event;
}

class Probe {
 public:
  explicit Probe(std::string watchdogProgram)
      : desktop_(kex::platform::linux_desktop::openDesktop()),
        gate_(desktop_.session()),
        safety_(desktop_, gate_, options(std::move(watchdogProgram))) {}

  std::string answer(const std::string& line) {
    std::istringstream words(line);
    std::string command;
    words >> command;
    if (command == "ready") return safety_.controlReady() ? "true" : "false";
    if (command == "begin") return attempt([&] { safety_.begin(); });
    if (command == "check") return attempt([&] { safety_.check(); });
    if (command == "key-down") {
      std::uint16_t code = 0;
      std::uint64_t flags = 0;
      words >> code >> flags;
      return attempt([&] {
        safety_.post(key(EventType::keyDown, code, flags), key(EventType::keyUp, code, flags),
                     code);
      });
    }
    if (command == "button-down") {
      double x = 0;
      double y = 0;
      words >> x >> y;
      return attempt([&] {
        safety_.post(pointer(EventType::leftMouseDown, x, y),
                     pointer(EventType::leftMouseUp, x, y));
      });
    }
    if (command == "move") {
      double x = 0;
      double y = 0;
      words >> x >> y;
      return attempt([&] { safety_.post(pointer(EventType::mouseMoved, x, y)); });
    }
    if (command == "release") {
      safety_.release();
      return "ok";
    }
    if (command == "watchdog") return watchdogPid_ > 0 ? std::to_string(watchdogPid_) : "none";
    if (command == "observed") return desktop_.counts();
    if (command == "state") {
      return std::string(safety_.armed() ? "armed " : "unarmed ") +
             (safety_.stopped() ? "stopped " : "running ") + safety_.stopReason();
    }
    return "error unknown-command";
  }

  void end() { safety_.cancel(kex::codes::cancelled); }

 private:
  kex::InputSafetyOptions options(std::string program) {
    kex::InputSafetyOptions options;
    options.launchWatchdog = [this, program]() -> std::unique_ptr<kex::WatchdogChannel> {
      auto process = kex::WatchdogProcess::launch(program);
      watchdogPid_ = process->pid();
      return process;
    };
    return options;
  }

  template <typename Action>
  static std::string attempt(Action action) {
    try {
      action();
      return "ok";
    } catch (const kex::Failure& failure) {
      return "error " + failure.code;
    } catch (const std::exception&) {
      return "error native_operation_failed";
    }
  }

  ProbeDesktop desktop_;
  kex::SessionGate gate_;
  kex::InputSafety safety_;
  pid_t watchdogPid_ = -1;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: kex-control-probe WATCHDOG_PROGRAM\n", stderr);
    return 2;
  }
  Probe probe(argv[1]);
  for (std::string line; std::getline(std::cin, line);) {
    std::cout << probe.answer(line) << std::endl;
  }
  probe.end();
  // Other threads may still be inside the controller; everything that had to happen did.
  ::_exit(0);
}

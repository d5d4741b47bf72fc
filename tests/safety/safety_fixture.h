// What the controller's unit tests share: the in-memory desktop, a watchdog that records what it
// is told, and event builders.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "main/common/failure.h"
#include "main/safety/input_safety.h"
#include "tests/desktop/memory_desktop.h"

namespace kex::testing {

// Records every held set it is told, with how many events the desktop had posted by then, so
// that tests can tell announcements from posts. Fails on demand like a watchdog that died.
class RecordingWatchdog : public WatchdogChannel {
 public:
  struct Exchange {
    std::vector<platform::Event> held;
    std::size_t postedBefore = 0;
  };
  struct Log {
    std::vector<Exchange> exchanges;
    bool failing = false;
    std::string failure{codes::inputWatchdogLost};
    // Fails as a pipe that cannot be written does, rather than with `failure`.
    bool writeFails = false;
    int launches = 0;
    bool launchFails = false;
  };

  RecordingWatchdog(std::shared_ptr<Log> log, MemoryDesktop& desktop)
      : log_(std::move(log)), desktop_(desktop) {}

  void exchange(const std::vector<platform::Event>& held) override {
    if (log_->writeFails) throw platform::PlatformError("broken pipe");
    if (log_->failing) throw Failure(log_->failure);
    log_->exchanges.push_back({held, desktop_.posted().size()});
  }

 private:
  std::shared_ptr<Log> log_;
  MemoryDesktop& desktop_;
};

inline platform::Event keyEvent(platform::EventType type, std::uint16_t code,
                                std::uint64_t flags = 0) {
  platform::Event event;
  event.type = type;
  event.keyCode = code;
  event.flags = flags;
  return event;
}

inline platform::Event pointerEvent(platform::EventType type, double x, double y) {
  platform::Event event;
  event.type = type;
  event.location = {x, y};
  return event;
}

// The code of the Failure the action throws, or "" when it succeeds.
inline std::string failureCode(const std::function<void()>& action) {
  try {
    action();
  } catch (const Failure& failure) {
    return failure.code;
  }
  return "";
}

class SafetyTest : public ::testing::Test {
 protected:
  InputSafetyOptions recordingOptions() {
    InputSafetyOptions options;
    options.launchWatchdog = [this]() -> std::unique_ptr<WatchdogChannel> {
      ++watchdog->launches;
      if (watchdog->launchFails) throw platform::PlatformError("no child");
      return std::make_unique<RecordingWatchdog>(watchdog, desktop);
    };
    return options;
  }

  std::shared_ptr<RecordingWatchdog::Log> watchdog = std::make_shared<RecordingWatchdog::Log>();
  MemoryDesktop desktop;
  SessionGate gate{desktop.session()};
};

}  // namespace kex::testing

#include "main/safety/input_monitor.h"

namespace kex {

InputMonitor::InputMonitor(platform::EventServices& events, platform::InputTapListener& listener)
    : events_(events), listener_(listener) {}

InputMonitor::~InputMonitor() {
  {
    threads::Lock guard(mutex_);
    stopping_ = true;
    if (tap_) tap_->stop();
  }
  if (thread_.joinable()) thread_.join();
}

bool InputMonitor::start(std::chrono::milliseconds limit) {
  threads::Lock guard(mutex_);
  if (!thread_.joinable()) thread_ = std::jthread([this] { run(); });
  const bool reported =
      reportedChanged_.waitFor(mutex_, limit, [this]() REQUIRES(mutex_) { return reported_; });
  if (!reported) return false;
  return tap_ != nullptr;
}

bool InputMonitor::healthy() {
  threads::Lock guard(mutex_);
  return tap_ && tap_->valid() && tap_->enabled();
}

void InputMonitor::run() {
  std::unique_ptr<platform::InputTap> tap = events_.createInputTap(listener_);
  platform::InputTap* running = nullptr;
  {
    threads::Lock guard(mutex_);
    if (tap && stopping_) tap->stop();
    tap_ = std::move(tap);
    running = tap_.get();
    reported_ = true;
  }
  reportedChanged_.notifyAll();
  // The tap lives as long as this object, which joins this thread before it goes.
  if (running) running->run();
}

}  // namespace kex

// The thread that owns the human-input tap.
#pragma once

#include <chrono>
#include <memory>
#include <thread>

#include "platform/events.h"
#include "threads/mutex.h"

namespace kex {

// Starts the monitor thread, which creates the tap, reports it and runs it; the listener then
// hears of every event on that thread. Any thread may ask healthy(); start() and the destructor
// belong to the owner (the input-safety controller, under its lock).
class InputMonitor {
 public:
  InputMonitor(platform::EventServices& events, platform::InputTapListener& listener);
  // Stops the tap and waits for the thread, which first finishes creating the tap if it is still
  // doing so.
  ~InputMonitor();
  InputMonitor(const InputMonitor&) = delete;
  InputMonitor& operator=(const InputMonitor&) = delete;

  // Starts the thread (once; later calls only wait again) and waits up to `limit` for its report.
  // True when it reported a tap in time. A thread that reports late still keeps and runs its tap.
  [[nodiscard]] bool start(std::chrono::milliseconds limit);

  // A tap was reported and is valid and enabled.
  [[nodiscard]] bool healthy();

 private:
  void run();

  platform::EventServices& events_;
  platform::InputTapListener& listener_;

  threads::Mutex mutex_;
  threads::ConditionVariable reportedChanged_;
  bool reported_ GUARDED_BY(mutex_) = false;
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::unique_ptr<platform::InputTap> tap_ GUARDED_BY(mutex_);

  std::jthread thread_;  // last: joined before the members it uses go
};

}  // namespace kex

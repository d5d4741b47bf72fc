// Turns the hang-up, interrupt, termination and user-defined-1 signals into an orderly
// cancellation of control.
#pragma once

#include <functional>
#include <thread>

#include "main/safety/input_safety.h"

namespace kex {

// Owns the signal thread. Construct it on the main thread before any other thread starts:
// it blocks the four signals in the calling thread, so every thread created afterwards
// inherits the mask and only the signal thread receives them. SIGPIPE is ignored, so writing to
// a reader that has gone fails with an error instead of ending the process.
//
// On SIGUSR1 the controller is cancelled with "cancelled" and the process keeps answering; on
// SIGTERM, SIGINT and SIGHUP it is cancelled (which releases held input first) and `exit` is
// called with status 0.
class SignalCancellation {
 public:
  using Exit = std::function<void(int status)>;

  SignalCancellation(InputSafety& safety, Exit exit);
  SignalCancellation(const SignalCancellation&) = delete;

  // Blocks the four signals in the calling thread and ignores SIGPIPE. Threads created
  // afterwards inherit the mask.
  static void blockHandledSignals();
  SignalCancellation& operator=(const SignalCancellation&) = delete;

 private:
  void watch(const std::stop_token& stop);

  InputSafety& safety_;
  Exit exit_;
  std::jthread thread_;  // last: it starts once the fields above exist
};

}  // namespace kex

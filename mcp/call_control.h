// How a tool call in progress learns that the client cancelled it.
#pragma once

#include <functional>

#include "threads/mutex.h"

namespace kex::mcp {

// Shared by the reader thread, which cancels, and the worker thread, which runs the call.
// `mutex_` guards the flag and the interrupt.
class CallControl {
 public:
  // Marks the call cancelled and runs the interrupt, if one is set, once. Any thread.
  void cancel();
  [[nodiscard]] bool cancelled() const;

  // What cancel() must also do while the call waits on something it cannot poll (a person
  // answering a prompt); it must be quick, since it runs under the lock. Runs at once, and
  // false is returned, when the call was cancelled already. Worker thread.
  bool setInterrupt(std::function<void()> interrupt);
  void clearInterrupt();

 private:
  mutable threads::Mutex mutex_;
  bool cancelled_ GUARDED_BY(mutex_) = false;
  std::function<void()> interrupt_ GUARDED_BY(mutex_);
};

}  // namespace kex::mcp

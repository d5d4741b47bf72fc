#include "mcp/call_control.h"

#include <utility>

namespace kex::mcp {

void CallControl::cancel() {
  // The interrupt runs under the lock, so that clearInterrupt() cannot return while it still
  // runs and the waiter it wakes cannot be gone before it.
  threads::Lock lock(mutex_);
  if (cancelled_) return;
  cancelled_ = true;
  if (interrupt_) std::exchange(interrupt_, nullptr)();
}

bool CallControl::cancelled() const {
  threads::Lock lock(mutex_);
  return cancelled_;
}

bool CallControl::setInterrupt(std::function<void()> interrupt) {
  {
    threads::Lock lock(mutex_);
    if (!cancelled_) {
      interrupt_ = std::move(interrupt);
      return true;
    }
  }
  interrupt();
  return false;
}

void CallControl::clearInterrupt() {
  threads::Lock lock(mutex_);
  interrupt_ = nullptr;
}

}  // namespace kex::mcp

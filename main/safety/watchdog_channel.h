// The controller's side of the release watchdog: one exchange tells the child everything that
// would have to be released if this process died now.
#pragma once

#include <vector>

#include "platform/events.h"

namespace kex {

// Used only under the input-safety controller's lock.
class WatchdogChannel {
 public:
  virtual ~WatchdogChannel() = default;

  // Sends the complete held set (release events, keys first, then buttons in press order) and
  // waits for the child's acknowledgement. Throws Failure "input_watchdog_lost" or
  // "controller_busy", or a platform error when the pipe cannot be written.
  virtual void exchange(const std::vector<platform::Event>& held) = 0;
};

}  // namespace kex

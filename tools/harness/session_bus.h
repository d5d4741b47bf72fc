// Questions a test asks of a private session bus.
#pragma once

#include <optional>
#include <string>

#include "tools/harness/deadline.h"

namespace kex::harness {

// Waits until the accessibility bus launcher owns org.a11y.Bus on the session bus at the
// address and answers GetAddress; returns the accessibility bus address it gives. Never starts
// the launcher by bus activation. Runs on the caller's thread.
[[nodiscard]] std::optional<std::string> waitForAccessibilityBus(
    const std::string& sessionBusAddress, Deadline deadline);

}  // namespace kex::harness

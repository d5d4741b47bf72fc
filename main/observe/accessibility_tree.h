// "computer.accessibility": a bounded description of one listed window's element tree.
#pragma once

#include <cstdint>

#include "main/common/json.h"
#include "main/observe/element_access.h"
#include "main/observe/observation.h"
#include "platform/desktop.h"

namespace kex {

// Request thread only. Every tree replaces the node identifiers of the one before.
class AccessibilityTree {
 public:
  AccessibilityTree(platform::Desktop& desktop, Observation& observation);

  // The window's element tree within the node budget, depth and child limits. Throws
  // "target_stale", the session's failures, "permission_required" or the controller's stop
  // reason.
  [[nodiscard]] Json describeWindow(const Json& args);

 private:
  [[nodiscard]] Json describe(const platform::Element& element, std::int64_t& budget, int depth,
                              const Target& target);

  platform::Desktop& desktop_;
  Observation& observation_;
  ElementAccess& elements_;
};

}  // namespace kex

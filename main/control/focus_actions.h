// "computer.focus" and "computer.action": changes made through the accessibility interface
// instead of synthetic events.
#pragma once

#include "main/common/json.h"
#include "main/control/guards.h"
#include "main/observe/observation.h"
#include "main/safety/input_safety.h"
#include "platform/desktop.h"

namespace kex {

// How long a raised window is given to become the focused window before it is checked.
inline constexpr platform::Duration kRaiseSettleTime = std::chrono::milliseconds(100);

// Request thread only. Keeps no state; reads the registries and never changes them. Reports
// to the input-safety controller before every call that may change the desktop.
class FocusActions {
 public:
  FocusActions(platform::Desktop& desktop, Observation& observation, InputSafety& safety,
               Guards& guards);

  // Activates the listed window's application, raises the window and proves after a short
  // wait that it is the focused window: {"verified": true}. Throws "target_stale",
  // "protected_target", "input_blocked", "focus_changed", and the failures of begin(),
  // verify(), axWindow and check().
  [[nodiscard]] Json focus(const Json& args);

  // Presses a node's element or gives it the keyboard focus: {"verified": false}. Throws
  // "target_stale", "protected_target", "invalid_arguments" (only once every guard passed),
  // "input_blocked", and the failures of inputTarget, axWindow, check() and requireFocused.
  [[nodiscard]] Json action(const Json& args);

 private:
  platform::Desktop& desktop_;
  Observation& observation_;
  ElementAccess& elements_;
  InputSafety& safety_;
  Guards& guards_;
};

}  // namespace kex

// The proofs every input needs before it reaches the desktop: the window is still the one the
// host saw, unprotected, frontmost and focused, its keyboard focus is safe, and it is what lies
// under the point.
#pragma once

#include <optional>
#include <string>

#include "main/common/json.h"
#include "main/control/input_target.h"
#include "main/control/protected_bundles.h"
#include "main/observe/observation.h"
#include "main/safety/input_safety.h"
#include "platform/desktop.h"

namespace kex {

// Ancestor walks (the hit test's and an element action's) look at this many elements at most:
// the starting element and up to 15 of its ancestors.
inline constexpr int kMaxAncestorWalk = 16;

// Request thread only. Posts nothing and changes no registry; the only state that changes on
// the way is the input-safety controller's, through begin() and check().
class Guards {
 public:
  Guards(platform::Desktop& desktop, Observation& observation, InputSafety& safety,
         std::string hostBundleIdentifier);

  // The window and capture named by the request's "captureId", after arming control and
  // re-verifying the window. Throws "permission_required", "target_stale" (unknown capture, 30
  // seconds old or older, or verify's), "protected_target", "focus_changed", and the failures
  // of begin(), verify() and check().
  [[nodiscard]] InputTarget inputTarget(const Json& args);

  // The three guards below throw the controller's stop reason instead of their own failure when
  // control has stopped by the time they fail.

  // Throws "focus_changed" unless the window's application is frontmost and the window is its
  // focused window; also axWindow's failures. Returns the window's accessibility element.
  platform::Element requireFocused(const platform::WindowInfo& window);

  // requireFocused, then throws "focus_changed" when the application has no focused element,
  // "protected_target" when it is a secure text field or the window has a sheet.
  void requireSafeKeyboardFocus(const platform::WindowInfo& window);

  // requireFocused, then throws "target_stale" when the point is outside the window's frame and
  // "target_occluded" unless the element under the point is the window's or lies within its
  // first 16 ancestors.
  void requirePoint(const platform::WindowInfo& window, platform::Point point);

  // Whether the walk from the element up its parents reaches the window's element within
  // kMaxAncestorWalk elements.
  [[nodiscard]] bool withinWindow(const platform::Element& element,
                                  const platform::Element& windowElement);

  // Makes the next reads ask the applications again rather than trust what was read before.
  void readAfresh();

  // Built on first use from the host's identifier and the platform's list.
  [[nodiscard]] const ProtectedBundles& protectedBundles();

  // Whether the process is this one or the host that started it.
  [[nodiscard]] bool isSelfOrHost(std::int32_t pid);

 private:
  template <typename Guard>
  decltype(auto) stopReasonFirst(Guard&& guard);
  platform::Element focusedWindowElement(const platform::WindowInfo& window);
  void safeKeyboardFocus(const platform::WindowInfo& window);
  void pointInWindow(const platform::WindowInfo& window, platform::Point point);
  void requirePermissions();
  [[nodiscard]] bool frontmostIs(std::int32_t pid);
  [[nodiscard]] double age(platform::Timestamp created);

  platform::Desktop& desktop_;
  Observation& observation_;
  ElementAccess& elements_;
  InputSafety& safety_;
  std::string hostBundleIdentifier_;
  std::optional<ProtectedBundles> protectedBundles_;
};

}  // namespace kex

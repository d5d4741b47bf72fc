#include "main/control/guards.h"

#include "main/common/failure.h"

namespace kex {

namespace attributes = platform::attributes;
using platform::Element;
using platform::WindowInfo;

Guards::Guards(platform::Desktop& desktop, Observation& observation, InputSafety& safety,
               std::string hostBundleIdentifier)
    : desktop_(desktop),
      observation_(observation),
      elements_(observation.elements()),
      safety_(safety),
      hostBundleIdentifier_(std::move(hostBundleIdentifier)) {}

const ProtectedBundles& Guards::protectedBundles() {
  if (!protectedBundles_) {
    protectedBundles_.emplace(hostBundleIdentifier_, desktop_.system().protectedBundleNames());
  }
  return *protectedBundles_;
}

bool Guards::isSelfOrHost(std::int32_t pid) {
  auto& windows = desktop_.windows();
  return pid == windows.ownProcessId() || pid == windows.parentProcessId();
}

double Guards::age(platform::Timestamp created) {
  return platform::secondsBetween(created, desktop_.clock().now());
}

void Guards::requirePermissions() {
  auto& system = desktop_.system();
  if (!system.accessibilityTrusted() || !system.postEventAccess()) {
    throw Failure(codes::permissionRequired);
  }
}

bool Guards::frontmostIs(std::int32_t pid) {
  const auto frontmost = desktop_.windows().frontmostProcessId();
  return frontmost && *frontmost == pid;
}

InputTarget Guards::inputTarget(const Json& args) {
  requirePermissions();
  const auto found = args.find("captureId");
  if (found == args.end() || !found->is_string()) throw Failure(codes::targetStale);
  const auto& captures = observation_.registries().captures;
  const auto entry = captures.find(found->get_ref<const std::string&>());
  if (entry == captures.end()) throw Failure(codes::targetStale);
  // A copy: the record must outlive anything the rest of the request does to the registry.
  const Capture capture = entry->second;
  if (age(capture.created) >= kCaptureMaxAge) throw Failure(codes::targetStale);

  safety_.begin();
  // What an earlier request read (a tree walk) may be out of date by now; what this request
  // reads serves the rest of it, and every input posted makes the backend forget it again.
  readAfresh();
  WindowInfo window = observation_.verify(capture.target);
  // Verification takes time; the capture may have aged past its limit meanwhile.
  if (age(capture.created) >= kCaptureMaxAge) throw Failure(codes::targetStale);
  requirePermissions();
  if (!window.owner) throw Failure(codes::focusChanged);
  if (protectedBundles().contains(window.owner->bundleIdentifier)) {
    throw Failure(codes::protectedTarget);
  }
  const auto pid = window.owner->processId;
  if (isSelfOrHost(pid)) throw Failure(codes::focusChanged);
  if (!frontmostIs(pid)) throw Failure(codes::focusChanged);
  (void)requireFocused(window);
  safety_.check();
  return {std::move(window), capture};
}

void Guards::readAfresh() { desktop_.accessibility().forgetRemembered(); }

// The accessibility calls of a guard may wait on a busy application for a while, and the person
// may touch the keyboard or pointer meanwhile. Once control has stopped, the stop is what ends the
// request: the host learns that control is over rather than a failure it would try again.
template <typename Guard>
decltype(auto) Guards::stopReasonFirst(Guard&& guard) {
  try {
    return guard();
  } catch (const Failure&) {
    safety_.check();
    throw;
  }
}

Element Guards::requireFocused(const WindowInfo& window) {
  return stopReasonFirst([&] { return focusedWindowElement(window); });
}

void Guards::requireSafeKeyboardFocus(const WindowInfo& window) {
  stopReasonFirst([&] { safeKeyboardFocus(window); });
}

void Guards::requirePoint(const WindowInfo& window, platform::Point point) {
  stopReasonFirst([&] { pointInWindow(window, point); });
}

Element Guards::focusedWindowElement(const WindowInfo& window) {
  if (!window.owner) throw Failure(codes::focusChanged);
  const auto pid = window.owner->processId;
  if (!frontmostIs(pid)) throw Failure(codes::focusChanged);
  const Element windowElement = elements_.axWindow(window);
  const auto application = desktop_.accessibility().applicationElement(pid);
  const auto focused = elements_.element(application, attributes::focusedWindow);
  if (!focused || !(*focused == windowElement)) throw Failure(codes::focusChanged);
  return windowElement;
}

void Guards::safeKeyboardFocus(const WindowInfo& window) {
  // The element focusedWindowElement found is the one axWindow would find again a moment later.
  const Element windowElement = focusedWindowElement(window);
  if (!window.owner) throw Failure(codes::focusChanged);
  const auto application = desktop_.accessibility().applicationElement(window.owner->processId);
  const auto focused = elements_.element(application, attributes::focusedElement);
  if (!focused) throw Failure(codes::focusChanged);
  if (elements_.text(*focused, attributes::subrole) == platform::values::secureTextField) {
    throw Failure(codes::protectedTarget);
  }
  const auto children =
      elements_.elements(windowElement, attributes::children).value_or(std::vector<Element>{});
  for (const auto& child : children) {
    if (elements_.text(child, attributes::role) == platform::values::sheet) {
      throw Failure(codes::protectedTarget);
    }
  }
}

void Guards::pointInWindow(const WindowInfo& window, platform::Point point) {
  const Element windowElement = focusedWindowElement(window);
  if (!window.frame.contains(point)) throw Failure(codes::targetStale);
  auto& accessibility = desktop_.accessibility();
  const auto hit = accessibility.elementAtPosition(
      accessibility.systemWideElement(), static_cast<float>(point.x), static_cast<float>(point.y));
  if (!hit) throw Failure(codes::targetOccluded);
  const auto pid = accessibility.processIdOf(*hit);
  if (!pid || !window.owner || *pid != window.owner->processId) {
    throw Failure(codes::targetOccluded);
  }
  if (!withinWindow(*hit, windowElement)) throw Failure(codes::targetOccluded);
}

bool Guards::withinWindow(const Element& element, const Element& windowElement) {
  std::optional<Element> current = element;
  for (int step = 0; step < kMaxAncestorWalk && current; ++step) {
    if (*current == windowElement) return true;
    current = elements_.element(*current, attributes::parent);
  }
  return false;
}

}  // namespace kex

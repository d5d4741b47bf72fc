// Listings, captures and the re-verification of what they handed out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "main/host/json_io.h"
#include "main/observe/element_access.h"
#include "main/observe/registries.h"
#include "main/safety/input_safety.h"
#include "main/session/session_state.h"
#include "platform/desktop.h"

namespace kex {

struct ObservationOptions {
  // Set by "--fixture-pid": listings show only this process's windows, and display capture is
  // refused.
  std::optional<std::int32_t> fixturePid;
  // The host application's own bundle identifier; its windows are never listed.
  std::string hostBundleIdentifier;
};

// The process id that follows the first "--fixture-pid" argument: unset without one or when
// it is last, -1 (matching no process) when the next argument is not a 32-bit decimal number.
[[nodiscard]] std::optional<std::int32_t> parseFixturePid(const std::vector<std::string>& args);

// The rectangle dictionary {"x", "y", "width", "height"}.
[[nodiscard]] Json rect(const platform::Rect& rectangle);

// Request thread only. Owns the registries; every identifier it hands out lives here.
class Observation {
 public:
  Observation(platform::Desktop& desktop, SessionGate& session, InputSafety& safety,
              ObservationOptions options);

  // "computer.displays" and "computer.windows": fresh content, a new generation of targets.
  [[nodiscard]] Json listDisplays();
  [[nodiscard]] Json listWindows();

  // Whether the identifier names a registered display target.
  [[nodiscard]] bool isDisplayTarget(const Json& targetId) const;

  // "computer.capture" of a display target or, failing that, of a window target.
  [[nodiscard]] Json capture(const Json& args, const std::string& sessionId);

  // "computer.accessibility": the window's element tree within the node budget, depth and
  // child limits; replaces every earlier node identifier.
  [[nodiscard]] Json accessibilityTree(const Json& args);

  [[nodiscard]] ElementAccess& elements() { return elements_; }

  // Fresh shareable content behind the session gate and the capture permission. Throws
  // "session_locked", "session_unavailable", "permission_required" or a platform error.
  [[nodiscard]] platform::ShareableContent content();

  // The stored window when the target still names the same window of the same process run,
  // unchanged; throws the controller's stop reason, a session failure or "target_stale".
  [[nodiscard]] platform::WindowInfo verify(const Target& target);

  // Throws a session failure, "permission_required" or "target_stale" unless the display is
  // still active with the same frame and arrangement.
  void verifyDisplay(const DisplayTarget& target);

  // The start of the process as "seconds:microseconds", only for processes of this user.
  [[nodiscard]] std::optional<std::string> processIdentity(std::int32_t pid);

  // The window target the argument names; "target_stale" when there is none.
  [[nodiscard]] const Target& windowTarget(const Json& targetId) const;

  [[nodiscard]] Registries& registries() { return registries_; }

 private:
  [[nodiscard]] Json captureDisplay(const std::string& targetId, const DisplayTarget& target,
                                    const Json& args, const std::string& sessionId);
  [[nodiscard]] Json captureWindow(const std::string& targetId, const Target& target,
                                   const Json& args, const std::string& sessionId);
  [[nodiscard]] Json describe(const platform::Element& element, std::int64_t& budget, int depth,
                              const Target& target);
  [[nodiscard]] bool liveWindowMatches(const Target& target, std::int32_t pid);
  [[nodiscard]] double age(platform::Timestamp created);

  platform::Desktop& desktop_;
  SessionGate& session_;
  InputSafety& safety_;
  ObservationOptions options_;
  ElementAccess elements_;
  Registries registries_;
};

}  // namespace kex

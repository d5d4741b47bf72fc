// Listings, the registries of what they hand out, and the re-verification of it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "main/common/json.h"
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
  [[nodiscard]] const ObservationOptions& options() const { return options_; }

 private:
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

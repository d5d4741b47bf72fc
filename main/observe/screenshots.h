// "computer.capture": screenshots of a listed display or window with the geometry that maps
// image pixels back to screen points.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "imaging/png_encoder.h"
#include "main/common/json.h"
#include "main/observe/observation.h"
#include "main/session/session_state.h"
#include "platform/desktop.h"

namespace kex {

// Request thread only. Window captures are registered with the observation, so that input
// operations can refer to them; the encoder keeps its buffers from one capture to the next.
class Screenshots {
 public:
  Screenshots(platform::Desktop& desktop, SessionGate& session, Observation& observation);

  // A display target's capture or, failing that, a window target's. Throws "target_stale",
  // the session's failures, "permission_required", "protected_target", "backend_unsupported",
  // "capture_too_large", "capture_protected", the controller's stop reason, or a platform
  // error.
  [[nodiscard]] Json capture(const Json& args, const std::string& sessionId);

 private:
  [[nodiscard]] Json captureDisplay(const std::string& targetId, const DisplayTarget& target,
                                    const Json& args, const std::string& sessionId);
  [[nodiscard]] Json captureWindow(const std::string& targetId, const Target& target,
                                   const Json& args, const std::string& sessionId);
  [[nodiscard]] std::optional<std::vector<std::uint8_t>> encode(const platform::Image& image);

  platform::Desktop& desktop_;
  SessionGate& session_;
  Observation& observation_;
  imaging::PngEncoder encoder_;
};

}  // namespace kex

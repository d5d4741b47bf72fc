// The dispatcher: the session gate, the freshness check and the operation branches.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "main/common/json.h"
#include "main/control/focus_actions.h"
#include "main/control/guards.h"
#include "main/control/keyboard.h"
#include "main/control/pointer.h"
#include "main/observe/accessibility_tree.h"
#include "main/observe/observation.h"
#include "main/observe/screenshots.h"
#include "main/safety/input_safety.h"
#include "main/session/session_state.h"
#include "platform/desktop.h"

namespace kex {

// Runs operations for the request loop. Request thread only: requests are handled one at a
// time, so nothing here takes a lock.
class Computer {
 public:
  Computer(platform::Desktop& desktop, SessionGate& session, InputSafety& safety,
           ObservationOptions options = {});

  // The operation's result, or a thrown Failure (any other error is the loop's to map).
  // Every operation but "status" first passes the session gate, then must carry the current
  // "sessionId" and "topologyRevision".
  [[nodiscard]] Json invoke(const std::string& operation, const Json& args);

  // The session identifier: an upper-case random UUID made at first use, fixed for the life
  // of the process.
  [[nodiscard]] const std::string& sessionId();

  // Whether this build has the body of the operation.
  [[nodiscard]] static bool builds(std::string_view operation);

  [[nodiscard]] Observation& observation() { return observation_; }
  [[nodiscard]] Guards& guards() { return guards_; }

 private:
  void requireFresh(const Json& args);
  [[nodiscard]] static bool isInput(std::string_view operation);
  [[nodiscard]] Json control(const std::string& operation, const Json& args);

  platform::Desktop& desktop_;
  SessionGate& session_;
  InputSafety& safety_;
  Observation observation_;
  Screenshots screenshots_;
  AccessibilityTree trees_;
  Guards guards_;
  FocusActions focusActions_;
  Keyboard keyboard_;
  Pointer pointer_;
  std::optional<std::string> sessionId_;
};

}  // namespace kex

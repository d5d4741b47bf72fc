// The status report: what a host asks before anything else.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "main/common/json.h"
#include "main/session/control_readiness.h"
#include "main/session/session_state.h"
#include "platform/displays.h"
#include "platform/session.h"

namespace kex {

// Where the report's facts come from. Request thread only.
struct StatusSources {
  platform::SystemServices& system;
  SessionGate& session;
  platform::DisplayServices& displays;
  ControlReadiness& control;
  // Whether this build has the operation's body; an operation it lacks is never offered.
  std::function<bool(std::string_view)> built;
};

// The "status" result. Never fails: a missing permission shows as false, an unusable session
// as its state, an unreadable display list as the revision "unavailable". Nothing is cached.
[[nodiscard]] Json status(StatusSources& sources, const std::string& sessionId);

}  // namespace kex

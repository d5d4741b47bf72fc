// kex-confirm's one conversation with polkit, the local-authentication service: is the action
// there, would the person be asked, and (for a prompt) what did they answer.
#pragma once

#include "command_line.h"
#include "outcome.h"

namespace kex::confirm {

// The action kex-confirm asks about, installed from org.kex.confirm.policy.
inline constexpr char approvalActionId[] = "org.kex.confirm.approve";

// Main thread: runs a GLib main loop on the default main context until the answer is known and
// returns it. Writing the answer and exiting are left to the caller.
[[nodiscard]] Outcome converseWithPolkit(Mode mode);

}  // namespace kex::confirm

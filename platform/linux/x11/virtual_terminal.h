// The virtual terminal an X server runs on, as Xorg announces it on the root window.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/linux/x11/connection.h"

namespace kex::platform::x11 {

// The number in the root window's XFree86_VT property; nothing for a server that sets none
// (Xvfb, Xephyr, Xwayland) or when the connection broke. Two round trips. Any thread.
[[nodiscard]] std::optional<std::uint32_t> virtualTerminalOf(const Connection& connection);

}  // namespace kex::platform::x11

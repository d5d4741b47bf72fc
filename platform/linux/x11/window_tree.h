// Where a window sits in the X server's window tree.
#pragma once

#include <xcb/xcb.h>

#include <optional>

#include "platform/linux/x11/connection.h"

namespace kex::platform::x11 {

// The ancestor of the window that is a child of the root: the frame a reparenting window
// manager put around it, or the window itself when it has none. Nothing when the window (or an
// ancestor, while the tree is walked) vanished or the connection broke. One round trip per
// level; frames are one or two levels up.
[[nodiscard]] std::optional<xcb_window_t> topLevelAncestor(const Connection& connection,
                                                           xcb_window_t window);

}  // namespace kex::platform::x11

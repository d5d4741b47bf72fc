// Bringing a top-level window to the front with the keyboard focus.
#pragma once

#include <xcb/xcb.h>

#include "platform/linux/x11/connection.h"
#include "platform/linux/x11/window_atoms.h"

namespace kex::platform::x11 {

// Who decides about stacking and focus on this display.
enum class WindowManagement {
  ewmh,  // a window manager that keeps the EWMH client lists and takes requests
  none,  // nobody: clients raise and focus themselves
};

// Asks for the managed client window to become the active window and to go above every other:
// with a window manager, _NET_ACTIVE_WINDOW and _NET_RESTACK_WINDOW messages on the person's
// behalf (source indication 2, as pagers send them, which window managers honour from others
// than the application); without one, a restack of its top-level and the input focus. True
// when the requests reached a live window; whether it is now in front is for the caller to
// check. Any thread; waits for the server once.
[[nodiscard]] bool activateWindow(const Connection& connection, const WindowAtoms& atoms,
                                  xcb_window_t client, WindowManagement management);

}  // namespace kex::platform::x11

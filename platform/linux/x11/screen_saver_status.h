// The screen lockers' root-window property, as xscreensaver and compatible lockers set it.
#pragma once

#include <optional>

#include "platform/linux/x11/connection.h"

namespace kex::platform::x11 {

// Sends the read of _SCREENSAVER_STATUS on the root window. Any thread.
[[nodiscard]] xcb_get_property_cookie_t askScreenSaverStatus(const Connection& connection);

// Whether the property says LOCK; false when it is absent or malformed, nothing when the
// connection broke.
[[nodiscard]] std::optional<bool> screenSaverStatusLocked(const Connection& connection,
                                                          xcb_get_property_cookie_t cookie);

}  // namespace kex::platform::x11

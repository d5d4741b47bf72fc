// The Linux backend: the X server named by DISPLAY, the session and system buses.
#pragma once

#include <memory>

#include "platform/desktop.h"

namespace kex::platform::linux_desktop {

// Opens the desktop of the X server named by DISPLAY. Never fails: without a display the
// desktop reports no session, no displays and no permissions, so every gate refuses.
std::unique_ptr<Desktop> openDesktop();

// Opens a connection of its own to the X server named by DISPLAY, for posting input only (the
// release watchdog needs nothing else). Nothing without a display.
std::unique_ptr<EventServices> openEventPoster();

}  // namespace kex::platform::linux_desktop

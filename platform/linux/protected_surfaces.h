// The programs whose windows are the desktop's own guarded surfaces.
#pragma once

#include <string>
#include <vector>

namespace kex::platform::linux_desktop {

// The executable file names of authentication agents and prompts, screen lockers, greeters,
// system settings and kex-confirm. Any thread.
[[nodiscard]] std::vector<std::string> protectedSurfaceNames();

}  // namespace kex::platform::linux_desktop

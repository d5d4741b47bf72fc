// The process entry of kex-computer: one executable, three modes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "main/safety/release_watchdog.h"
#include "platform/desktop.h"

namespace kex {

enum class ProcessMode { releaseWatchdog, sessionSelfTest, requestLoop };

// The mode the arguments ask for. Arguments are searched anywhere in the list and compared
// exactly; the release watchdog wins over the self-test.
[[nodiscard]] ProcessMode chooseMode(const std::vector<std::string>& arguments);

// The process id that follows the first "--fixture-pid" argument: unset without one or when
// it is last, -1 (matching no process) when the next argument is not a 32-bit decimal number.
[[nodiscard]] std::optional<std::int32_t> parseFixturePid(const std::vector<std::string>& args);

using DesktopFactory = std::function<std::unique_ptr<platform::Desktop>()>;

// What the process opens of the desktop: all of it for the request loop, only a way to post
// input for the release watchdog.
struct DesktopAccess {
  DesktopFactory openDesktop;
  EventPosterFactory openEventPoster;
};

// Runs the chosen mode and returns the exit status; the request-loop mode never returns (the
// process ends through an exit call at end of input or on a handled signal). The desktop is
// opened only by the modes that need one.
// `hostBundleIdentifier` names the host application, whose windows are never observed.
int runProcess(const std::vector<std::string>& arguments, const DesktopAccess& access,
               const std::string& hostBundleIdentifier);

}  // namespace kex

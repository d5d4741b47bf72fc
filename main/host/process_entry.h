// The process entry of kex-computer: one executable, three modes.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/desktop.h"

namespace kex {

enum class ProcessMode { releaseWatchdog, sessionSelfTest, requestLoop };

// The mode the arguments ask for. Arguments are searched anywhere in the list and compared
// exactly; the release watchdog wins over the self-test.
[[nodiscard]] ProcessMode chooseMode(const std::vector<std::string>& arguments);

using DesktopFactory = std::function<std::unique_ptr<platform::Desktop>()>;

// Runs the chosen mode and returns the exit status; the request-loop mode never returns (the
// process ends through an exit call at end of input or on a handled signal). The desktop is
// opened only by the modes that need one.
// `hostBundleIdentifier` names the host application, whose windows are never observed.
int runProcess(const std::vector<std::string>& arguments, const DesktopFactory& openDesktop,
               const std::string& hostBundleIdentifier);

}  // namespace kex

// What the kernel's /proc says about a process: its executable, owner and start time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/windows.h"

namespace kex::platform::x11 {

// The absolute path of the process's executable; nothing when the process is gone or not ours
// to inspect. A program whose file was removed or replaced while it runs (upgraded) is named by
// the path it was started from.
[[nodiscard]] std::optional<std::string> executablePath(std::int32_t pid);

// Its real user id and start time; nothing when the process does not exist. Any thread.
[[nodiscard]] std::optional<ProcessRecord> readProcessRecord(std::int32_t pid);

}  // namespace kex::platform::x11

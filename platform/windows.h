// Windows, their owning applications and processes, as the window server reports them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/geometry.h"

namespace kex::platform {

struct RunningApplication {
  std::int32_t processId = 0;
  std::optional<std::string> bundleIdentifier;  // on Linux the absolute path of the executable
  std::string applicationName;

  bool operator==(const RunningApplication&) const = default;
};

// A window as a listing saw it. A snapshot: never refreshed.
struct WindowInfo {
  std::uint32_t windowId = 0;
  Rect frame;  // with the decorations the window manager draws around the window
  std::optional<std::string> title;
  std::int64_t layer = 0;  // 0 for ordinary application windows
  std::optional<RunningApplication> owner;
  // The frame less its decorations, when the desktop tells them apart.
  std::optional<Rect> clientArea;
};

// A display as a listing saw it.
struct DisplayContent {
  std::uint32_t displayId = 0;
  Rect frame;
};

// Displays and on-screen windows, desktop windows excluded, windows front to back.
struct ShareableContent {
  std::vector<DisplayContent> displays;
  std::vector<WindowInfo> windows;
};

// The window server's live description of one window; each field is absent when the server
// did not report it.
struct LiveWindow {
  std::uint32_t windowId = 0;
  std::optional<std::int32_t> ownerProcessId;
  std::optional<bool> onScreen;
  std::optional<Rect> bounds;
  std::optional<std::string> name;
};

// The kernel's record of a process: its owner and when it started.
struct ProcessRecord {
  std::uint32_t userId = 0;
  std::uint64_t startSeconds = 0;
  std::uint32_t startMicroseconds = 0;
};

// Request thread only.
class WindowServices {
 public:
  virtual ~WindowServices() = default;

  // Fresh shareable content. Throws PlatformError when the desktop reports an error.
  [[nodiscard]] virtual ShareableContent shareableContent() = 0;

  // The live descriptions of exactly this window, read afresh; nothing when no list comes back.
  [[nodiscard]] virtual std::optional<std::vector<LiveWindow>> liveWindow(
      std::uint32_t windowId) = 0;

  // The bundle identifier of the running application with this process id, if any.
  [[nodiscard]] virtual std::optional<std::string> bundleIdentifierOf(std::int32_t pid) = 0;

  // The process of the application that receives keyboard input, if any.
  [[nodiscard]] virtual std::optional<std::int32_t> frontmostProcessId() = 0;

  // Asks the desktop to bring the application forward; false when it refuses.
  [[nodiscard]] virtual bool activateApplication(std::int32_t pid) = 0;

  [[nodiscard]] virtual std::optional<ProcessRecord> processRecord(std::int32_t pid) = 0;

  [[nodiscard]] virtual std::int32_t ownProcessId() = 0;
  [[nodiscard]] virtual std::int32_t parentProcessId() = 0;
};

}  // namespace kex::platform

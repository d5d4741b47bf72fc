// The active displays and their arrangement.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/geometry.h"

namespace kex::platform {

struct DisplayInfo {
  std::uint32_t id = 0;
  Rect bounds;                  // in the global display space
  std::int64_t pixelWidth = 0;  // native pixels
  std::int64_t pixelHeight = 0;
  double rotation = 0;  // degrees: 0, 90, 180 or 270

  bool operator==(const DisplayInfo&) const = default;
};

// Any thread. Nothing is cached: every call reads the desktop at that moment.
class DisplayServices {
 public:
  virtual ~DisplayServices() = default;

  // Every active display in the platform's order, or nothing when the list cannot be read
  // (for example the connection to the display server is broken).
  [[nodiscard]] virtual std::optional<std::vector<DisplayInfo>> activeDisplays() = 0;

  // The display with this identifier if it is active now.
  [[nodiscard]] virtual std::optional<DisplayInfo> activeDisplay(std::uint32_t id) = 0;
};

}  // namespace kex::platform

// What the accessibility backend needs to know of the window system: which top-level window a
// point falls in and which window is active, with the process that owns each.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/geometry.h"

namespace kex::platform::atspi {

// A top-level window as a person sees it: its frame includes the decorations, its client area
// is the frame less them.
struct LocatedWindow {
  Rect frame;
  std::optional<std::int32_t> pid;
  Rect clientArea;
};

// Request thread, as the accessibility services that ask it.
class WindowLocator {
 public:
  virtual ~WindowLocator() = default;

  // The frontmost managed window on screen whose frame holds the point.
  [[nodiscard]] virtual std::optional<LocatedWindow> windowAt(Point point) = 0;
  // The window the window manager says is active.
  [[nodiscard]] virtual std::optional<LocatedWindow> activeWindow() = 0;
};

}  // namespace kex::platform::atspi

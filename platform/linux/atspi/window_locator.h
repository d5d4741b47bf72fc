// What the accessibility backend needs of the window system: which top-level window a point
// falls in and which window is active, with the process that owns each, and bringing a window
// to the front.
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

  // The window that takes pointer input at the point: the top-most window holding it in the
  // window system's stacking order, popups of any process included.
  [[nodiscard]] virtual std::optional<LocatedWindow> windowAt(Point point) = 0;
  // The window the window manager says is active.
  [[nodiscard]] virtual std::optional<LocatedWindow> activeWindow() = 0;
  // Asks for the process's top-level window whose frame, with or without its decorations, is
  // exactly `frame` to become the active window above every other. True when the request
  // reached such a live window; toolkits refuse to raise a window through accessibility, so
  // the window system is asked instead.
  [[nodiscard]] virtual bool raise(std::int32_t pid, const Rect& frame) = 0;
};

}  // namespace kex::platform::atspi

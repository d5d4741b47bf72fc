// The X windows that the accessibility backend starts from: the one under a point and the
// active one, each with the process that owns it.
#pragma once

#include <optional>
#include <vector>

#include "platform/geometry.h"
#include "platform/linux/x11/connection.h"
#include "platform/linux/x11/window_atoms.h"
#include "platform/linux/x11/window_probe.h"

namespace kex::platform::x11 {

// Request thread, as the accessibility services that own it; the connection serialises waits.
// The atoms are interned on first use, so a desktop without accessibility reads pays nothing.
class ScreenWindows {
 public:
  // connection is nullptr when no display could be opened.
  explicit ScreenWindows(const Connection* connection) : connection_(connection) {}

  // The frontmost managed window on screen whose frame holds the point.
  [[nodiscard]] std::optional<WindowFacts> windowAt(Point point);
  // The window the window manager says is active.
  [[nodiscard]] std::optional<WindowFacts> activeWindow();

 private:
  [[nodiscard]] bool usable();
  [[nodiscard]] std::vector<xcb_window_t> windowProperty(xcb_atom_t property);

  const Connection* connection_;
  std::optional<WindowAtoms> atoms_;
};

}  // namespace kex::platform::x11

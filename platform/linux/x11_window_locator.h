// The accessibility backend's view of the X windows under a point and the active one.
#pragma once

#include "platform/linux/atspi/window_locator.h"
#include "platform/linux/x11/screen_windows.h"

namespace kex::platform::linux_desktop {

// Request thread, as the accessibility services that ask it.
class X11WindowLocator final : public atspi::WindowLocator {
 public:
  // connection is nullptr when no display could be opened.
  explicit X11WindowLocator(const x11::Connection* connection) : windows_(connection) {}

  [[nodiscard]] std::optional<atspi::LocatedWindow> windowAt(Point point) override;
  [[nodiscard]] std::optional<atspi::LocatedWindow> activeWindow() override;
  [[nodiscard]] bool raise(std::int32_t pid, const Rect& frame) override;

 private:
  x11::ScreenWindows windows_;
};

}  // namespace kex::platform::linux_desktop

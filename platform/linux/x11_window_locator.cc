#include "platform/linux/x11_window_locator.h"

namespace kex::platform::linux_desktop {
namespace {

std::optional<atspi::LocatedWindow> located(const std::optional<x11::WindowFacts>& facts) {
  if (!facts) return std::nullopt;
  return atspi::LocatedWindow{facts->frame, facts->pid, facts->clientArea};
}

}  // namespace

std::optional<atspi::LocatedWindow> X11WindowLocator::windowAt(Point point) {
  return located(windows_.windowAt(point));
}

std::optional<atspi::LocatedWindow> X11WindowLocator::activeWindow() {
  return located(windows_.activeWindow());
}

bool X11WindowLocator::raise(std::int32_t pid, const Rect& frame) {
  return windows_.raise(pid, frame);
}

}  // namespace kex::platform::linux_desktop

// The X windows that the accessibility backend starts from: the one under a point and the
// active one, each with the process that owns it.
#pragma once

#include <optional>
#include <unordered_map>
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

  // The window that receives pointer input at the point: the top-most mapped top-level window
  // holding it in X stacking order. A window manager's frame stands for the client it frames
  // (with the frame, decorations included); an override-redirect window (a menu, tooltip or
  // notification of any process) and a top-level without a client stand for themselves.
  [[nodiscard]] std::optional<WindowFacts> windowAt(Point point);
  // The window the window manager says is active.
  [[nodiscard]] std::optional<WindowFacts> activeWindow();

  // Asks for the top-most client window of the process whose frame, or own rectangle without
  // the frame, is exactly `frame` to become active and go above every other window. True when
  // the requests reached such a live window.
  [[nodiscard]] bool raise(std::int32_t pid, const Rect& frame);

 private:
  [[nodiscard]] bool usable();
  [[nodiscard]] std::vector<xcb_window_t> windowProperty(xcb_atom_t property);
  [[nodiscard]] bool hasWindowProperty(xcb_atom_t property);
  [[nodiscard]] WindowFacts topLevelFacts(xcb_window_t window, bool overrideRedirect,
                                          const Rect& rectangle);
  [[nodiscard]] std::optional<WindowFacts> clientFactsBelow(xcb_window_t topLevel);
  [[nodiscard]] std::optional<WindowFacts> knownClientBelow(xcb_window_t topLevel);
  [[nodiscard]] std::optional<WindowFacts> searchClientBelow(xcb_window_t topLevel);
  void rememberClientPath(xcb_window_t topLevel, xcb_window_t client,
                          const std::unordered_map<xcb_window_t, xcb_window_t>& parents);

  const Connection* connection_;
  std::optional<WindowAtoms> atoms_;
  // Each frame's windows down to its client, the frame first, as the last search found them.
  std::unordered_map<xcb_window_t, std::vector<xcb_window_t>> clientPaths_;
};

}  // namespace kex::platform::x11

// A top-level window's own pixels, kept off screen by the Composite extension so that they
// can be read whatever covers the window.
#pragma once

#include <xcb/xcb.h>

#include <optional>

#include "platform/linux/x11/connection.h"

namespace kex::platform::x11 {

// A pixmap that holds a window's contents, and where it lies on the root window: its top-left
// pixel is the outer corner of the window's border.
struct NamedPixmap {
  xcb_pixmap_t pixmap = XCB_NONE;
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

// Request thread. Holds one pixmap id for all captures: each named pixmap is freed before the
// next one is named. Redirection is never undone: the server keeps it until the window is
// destroyed, which is the memory of what has been redirected (a window whose pixmap cannot be
// named is redirected again, which also covers a window id reused by another window).
class WindowPixmaps {
 public:
  explicit WindowPixmaps(const Connection& connection);

  // Names the pixmap of the top-level window, redirecting the window first when no one has.
  // Nothing when the window is gone or not viewable, or the connection broke.
  [[nodiscard]] std::optional<NamedPixmap> name(xcb_window_t topLevel);

  // Frees the pixmap named last. Its check waits for the next naming, which comes after
  // other answers, so that it costs no round trip of its own.
  void release();

 private:
  enum class Naming { named, notRedirected, failed };

  [[nodiscard]] Naming tryName(xcb_window_t topLevel, NamedPixmap& named);
  [[nodiscard]] bool redirect(xcb_window_t topLevel);
  void checkRelease();

  const Connection& connection_;
  xcb_pixmap_t pixmap_;
  std::optional<xcb_void_cookie_t> pendingRelease_;
};

}  // namespace kex::platform::x11

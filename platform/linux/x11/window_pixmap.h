// A top-level window's own pixels, kept off screen by the Composite extension so that they
// can be read whatever covers the window, and read only once the application has painted them.
#pragma once

#include <xcb/damage.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <unordered_map>

#include "platform/linux/x11/connection.h"

namespace kex::platform::x11 {

// How long a capture waits for an application to paint its window, and for a window that is
// still being moved into place (a window manager's restore animation) to get there.
inline constexpr std::chrono::milliseconds kRepaintWait{1000};
// A window whose top-level has not been reconfigured for this long has stopped moving.
inline constexpr std::chrono::milliseconds kSettleQuiet{100};

// A pixmap that holds a window's contents, and where it lies on the root window: its top-left
// pixel is the outer corner of the window's border.
struct NamedPixmap {
  xcb_pixmap_t pixmap = XCB_NONE;
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

enum class NamingOutcome {
  named,      // the application's part of the pixmap holds only what it painted
  unpainted,  // the application did not paint all of its part within kRepaintWait
  failed,     // the window is gone or not viewable, or the connection broke
};

struct Naming {
  NamingOutcome outcome = NamingOutcome::failed;
  NamedPixmap pixmap;  // when named
};

// Request thread, and the only reader of the connection's events. Holds one pixmap id for all
// captures: each named pixmap is freed before the next one is named.
//
// A window redirected off screen gets a pixmap of its own that starts as a copy of whatever the
// screen showed where the window lies, covering windows included, and gets a new one each time
// it is mapped or resized. Only what the application paints afterwards is its own. So the first
// capture of a window asks the application to paint all of it (an Expose event) and follows
// with DAMAGE until it has; the redirection is then kept, and the window's structure events say
// when a new pixmap makes the next capture wait again. A destroyed window takes its redirection
// with it; at most kMaxWatched windows stay redirected, the least recently captured given back.
class WindowPixmaps {
 public:
  // Needs Composite, DAMAGE and XFixes regions; without them nothing is ever named.
  explicit WindowPixmaps(const Connection& connection);

  // Names the pixmap of the top-level window, once the part of it that belongs to client (the
  // application's window: the top-level itself, or the window a window manager framed) has
  // been painted by the application since the pixmap came to be, and once the pixmap holds
  // all of listed (where the window was listed, on the root window) or the top-level has
  // stopped moving. Waits for that at most kRepaintWait.
  [[nodiscard]] Naming name(xcb_window_t topLevel, xcb_window_t client,
                            const xcb_rectangle_t& listed);

  // Frees the pixmap named last. Its check waits for the next naming, which comes after
  // other answers, so that it costs no round trip of its own.
  void release();

 private:
  static constexpr std::size_t kMaxWatched = 64;

  // A redirected top-level window. generation counts the pixmaps it has had since it was
  // first watched; vouched says that the application has painted all of its part of the
  // current one.
  struct Watched {
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    std::uint32_t generation = 0;
    bool vouched = false;
    std::uint64_t lastUse = 0;
  };

  enum class Repaint { painted, unpainted, gone };
  using Clock = std::chrono::steady_clock;

  // Takes every event that has arrived and learns from it.
  void catchUp();
  void handle(const xcb_generic_event_t& event);
  void renew(xcb_window_t window);
  // Starts watching and redirecting the window unless that is done already. False when the
  // window is gone.
  [[nodiscard]] bool watch(xcb_window_t topLevel);
  void forgetLeastRecentlyUsed();
  [[nodiscard]] Repaint awaitRepaint(xcb_window_t topLevel, xcb_window_t client);
  [[nodiscard]] bool askForRepaint(xcb_window_t topLevel, xcb_window_t client);
  [[nodiscard]] std::optional<bool> painted();
  [[nodiscard]] std::optional<std::uint32_t> generationOf(xcb_window_t topLevel) const;
  // Whether the top-level was reconfigured before the time was up.
  [[nodiscard]] bool awaitReconfigure(xcb_window_t topLevel, Clock::time_point until);
  [[nodiscard]] bool tryName(xcb_window_t topLevel, NamedPixmap& named);
  void checkRelease();

  const Connection& connection_;
  const bool usable_;
  xcb_pixmap_t pixmap_;
  std::optional<xcb_void_cookie_t> pendingRelease_;
  std::unordered_map<xcb_window_t, Watched> watched_;
  std::uint64_t uses_ = 0;
  // What one wait uses: the damage object on the window, the part of the window still to be
  // painted, and what DAMAGE hands over each time; arrived says a DamageNotify came.
  xcb_damage_damage_t damage_ = XCB_NONE;
  xcb_xfixes_region_t remaining_ = XCB_NONE;
  xcb_xfixes_region_t parts_ = XCB_NONE;
  bool damageArrived_ = false;
  // The top-level whose ConfigureNotify is awaited, and whether it came.
  xcb_window_t awaitedConfigure_ = XCB_NONE;
  bool configureArrived_ = false;
};

}  // namespace kex::platform::x11

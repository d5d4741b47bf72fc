// When each window was last seen coming on screen.
#pragma once

#include <xcb/xcb.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

namespace kex::platform::x11 {

// A window that has just been mapped (or redirected) holds no picture of itself until its
// client has painted; the server asks it to at once, and this is how long it gets.
inline constexpr std::chrono::milliseconds kRepaintGrace{100};

// What the window list saw of each window's showing, so that a capture can give a window that
// has only just come on screen time to paint. Written by the window list, read by capture: any
// thread; entries_ is guarded by mutex_.
class ShowingLog {
 public:
  using Clock = std::chrono::steady_clock;

  // A reading of the window: whether it is on screen now.
  void observe(xcb_window_t window, bool onScreen);
  // Forgets every window but these, the managed windows of a full listing.
  void keepOnly(const std::vector<xcb_window_t>& windows);
  // When the window came on screen, if it is on screen as last seen.
  [[nodiscard]] std::optional<Clock::time_point> shownSince(xcb_window_t window);

 private:
  struct Showing {
    bool onScreen = false;
    Clock::time_point since;
  };

  std::mutex mutex_;
  std::unordered_map<xcb_window_t, Showing> entries_;
};

}  // namespace kex::platform::x11

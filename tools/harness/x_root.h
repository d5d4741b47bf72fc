// The root window of a display, as tests need it: its size and its properties.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/harness/deadline.h"

struct xcb_connection_t;

namespace kex::harness {

struct ScreenSize {
  int width = 0;
  int height = 0;
  friend bool operator==(const ScreenSize&, const ScreenSize&) = default;
};

// One connection to an X display. Not thread-safe: one thread uses it.
class XRoot {
 public:
  // Throws std::runtime_error when the display cannot be opened.
  explicit XRoot(const std::string& display);
  ~XRoot();
  XRoot(const XRoot&) = delete;
  XRoot& operator=(const XRoot&) = delete;

  [[nodiscard]] std::uint32_t window() const { return root_; }
  [[nodiscard]] ScreenSize size();
  [[nodiscard]] std::uint32_t atom(std::string_view name);
  // Where the window's top left corner lies on the root window; nothing for an unknown window.
  [[nodiscard]] std::optional<std::pair<int, int>> windowOrigin(std::uint32_t window);
  // The pixels of a rectangle of the root window as 0xRRGGBB, row by row; empty when the
  // rectangle is not on the screen. Assumes the 24-bit TrueColor visual Xvfb gives.
  [[nodiscard]] std::vector<std::uint32_t> capture(int x, int y, int width, int height);

  // What the server holds down right now: key codes of pressed keys and the pointer's pressed
  // buttons (1 to 5), each in increasing order.
  [[nodiscard]] std::vector<int> pressedKeys();
  [[nodiscard]] std::vector<int> pressedButtons();

  // Sets a property of format 32 on the root window; returns once the server has applied it.
  void setProperty32(std::string_view name, std::string_view type,
                     const std::vector<std::uint32_t>& values);
  void removeProperty(std::string_view name);
  [[nodiscard]] bool hasProperty(std::string_view name);
  // Waits for the property to appear, woken by PropertyNotify rather than by polling.
  [[nodiscard]] bool waitForProperty(std::string_view name, Deadline deadline);
  // Maps a small window of its own until a reparenting window manager has taken it into a
  // frame, then destroys it: proof that the manager handles new windows. A manager that has
  // only just announced itself may still drop a window mapped then.
  [[nodiscard]] bool waitUntilWindowsAreManaged(Deadline deadline);

 private:
  void sync();
  void drainEvents();
  // Whether the window was reparented by the deadline, woken by its ReparentNotify.
  [[nodiscard]] bool awaitReparent(std::uint32_t window, Deadline deadline);

  xcb_connection_t* connection_ = nullptr;
  std::uint32_t root_ = 0;
};

}  // namespace kex::harness

// Single-frame screenshots of a display or of one window, as raw pixels.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/geometry.h"
#include "platform/windows.h"

namespace kex::platform {

// An 8-bit RGB image, rows top to bottom, three bytes a pixel, no padding.
struct Image {
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::vector<std::uint8_t> rgb;
  // For a window capture that includes decorations drawn by someone else (a window manager's
  // frame), the part of the image the application itself paints, in image pixels. Absent when
  // the whole image is the application's.
  std::optional<Rect> content;
  // Set when the window's own pixels could not be had: its application had not painted all of
  // it within the time a capture waits (it is busy or stopped, or the window has only just come
  // on screen), or the window no longer lies where it was listed. What would show is what lay
  // there before, another window's pixels perhaps, so the image then holds no pixels at all.
  bool withheld = false;
};

// Whether a display capture shows the pointer.
enum class CursorMode { drawn, hidden };

// Request thread only. Failures of the screenshot service throw PlatformError.
class CaptureServices {
 public:
  virtual ~CaptureServices() = default;

  // Pixels per point for a capture of this window alone.
  [[nodiscard]] virtual double pointPixelScale(const WindowInfo& window) = 0;

  // The display's contents within its frame, scaled to exactly width by height.
  [[nodiscard]] virtual Image captureDisplay(const DisplayContent& display, std::int64_t width,
                                             std::int64_t height, CursorMode cursor) = 0;

  // The window's own contents whatever covers it, without cursor or shadow, scaled to exactly
  // width by height.
  [[nodiscard]] virtual Image captureWindow(const WindowInfo& window, std::int64_t width,
                                            std::int64_t height) = 0;
};

}  // namespace kex::platform

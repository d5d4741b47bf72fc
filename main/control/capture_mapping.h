// From a pixel of a window capture to the screen point it shows.
#pragma once

#include <cstdint>

#include "platform/geometry.h"

namespace kex {

// The pixel (x, y) of a capture image of width by height pixels, taken of a window whose frame
// is `frame`, as a point of the global display space: the frame's origin plus the pixel's
// coordinates scaled by frame size over image size, multiplied before divided in double
// precision. The caller has checked 0 <= x < width and 0 <= y < height.
[[nodiscard]] inline platform::Point captureToScreen(std::int64_t x, std::int64_t y,
                                                     std::int64_t width, std::int64_t height,
                                                     const platform::Rect& frame) {
  return {frame.x + (static_cast<double>(x) * frame.width) / static_cast<double>(width),
          frame.y + (static_cast<double>(y) * frame.height) / static_cast<double>(height)};
}

}  // namespace kex

// A rectangle of 32-bit pixels as the X server stores them for depth 24 and 32.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kex::imaging {

// One std::uint32_t a pixel, 0xXXRRGGBB; the top byte is padding (depth 24) or alpha (depth
// 32) and is never read. Rows are stride bytes apart. Does not own the pixels.
struct PixelView {
  std::uint32_t* data = nullptr;
  int width = 0;
  int height = 0;
  std::size_t stride = 0;

  [[nodiscard]] std::uint32_t* row(int y) const {
    return reinterpret_cast<std::uint32_t*>(reinterpret_cast<std::uint8_t*>(data) +
                                            static_cast<std::size_t>(y) * stride);
  }
};

}  // namespace kex::imaging

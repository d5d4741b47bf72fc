// A read-only view of 8-bit RGB pixels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kex::imaging {

// Three bytes a pixel, rows top to bottom, no padding. Does not own the bytes; size is how many
// there are, so that a view whose dimensions disagree with its buffer can be refused.
struct RgbView {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  std::int64_t width = 0;
  std::int64_t height = 0;

  [[nodiscard]] static RgbView of(const std::vector<std::uint8_t>& rgb, std::int64_t width,
                                  std::int64_t height) {
    return {rgb.data(), rgb.size(), width, height};
  }
};

}  // namespace kex::imaging

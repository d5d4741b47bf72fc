// Turns a rectangle of server pixels into an RGB image of a requested size.
#pragma once

#include <cstdint>
#include <vector>

#include "imaging/pixel_view.h"

namespace kex::imaging {

// Request thread. Keeps its intermediate buffers between calls, so that a steady stream of
// captures of one size allocates nothing but the image it returns.
class ImageScaler {
 public:
  // The source scaled to exactly width by height (both at least 1). Shrinking by less than
  // half is bilinear; each halving beyond that first averages 2x2 boxes, so that every source
  // pixel still counts and fine detail does not alias.
  // Throws std::invalid_argument when either image is empty.
  void toRgb(const PixelView& source, std::int64_t width, std::int64_t height,
             std::vector<std::uint8_t>& rgb);

 private:
  [[nodiscard]] PixelView halveUntilClose(PixelView source, std::int64_t width,
                                          std::int64_t height);
  [[nodiscard]] PixelView bilinear(const PixelView& source, int width, int height);

  std::vector<std::uint32_t> halves_[2];  // halved images, used in turn
  std::vector<std::uint32_t> scaled_;
};

}  // namespace kex::imaging

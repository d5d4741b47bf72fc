// PNG files of RGB images, written to memory with libpng.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/capture.h"

namespace kex::platform::x11 {

// Request thread. Keeps its output buffer and row table between calls. Favours speed over
// size: no filters and fast deflate, since screenshots are flat enough that the heavier
// settings save little and cost about four times the time.
class PngEncoder {
 public:
  // Nothing when the image is malformed or libpng fails.
  [[nodiscard]] std::optional<std::vector<std::uint8_t>> encode(const Image& image);

 private:
  std::vector<std::uint8_t> output_;
  std::vector<std::uint8_t*> rows_;
};

}  // namespace kex::platform::x11

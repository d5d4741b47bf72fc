// PNG files of RGB images, written to memory with libpng and zlib.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "imaging/helper_thread.h"
#include "imaging/rgb_view.h"

namespace kex::imaging {

// The compressed image data of one band of rows, and what the zlib trailer needs of it.
struct CompressedBand {
  std::vector<std::uint8_t> bytes;  // only the first `used` hold data; grown, never shrunk
  std::size_t used = 0;
  std::uint32_t adler = 0;      // of the band's uncompressed bytes
  std::size_t inputLength = 0;  // how many there were
  bool ok = false;
};

// Request thread; a tall image's lower half is compressed on the encoder's helper thread at the
// same time as the upper half, and waited for before encode returns. Keeps its buffers
// between calls. Favours speed over size: no filters and the fastest deflate level, since
// screenshots are flat enough that heavier settings save little and cost about four times the
// time.
class PngEncoder {
 public:
  // Nothing when the image is malformed or libpng or zlib fails.
  [[nodiscard]] std::optional<std::vector<std::uint8_t>> encode(const RgbView& image);

 private:
  [[nodiscard]] bool compress(const RgbView& image);
  [[nodiscard]] bool assembleImageData();

  // The upper half (or the whole image) and the lower half. Each is written by one thread
  // only, and read by the request thread after joining the other.
  CompressedBand bands_[2];
  std::vector<std::uint8_t> histories_[2];  // each band's dictionary
  std::vector<std::uint8_t> imageData_;     // the IDAT payload, one zlib stream; grown only
  std::size_t imageDataSize_ = 0;           // how much of imageData_ it fills
  std::vector<std::uint8_t> output_;
  HelperThread helper_;
};

}  // namespace kex::imaging

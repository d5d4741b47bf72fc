#include "imaging/image_scaler.h"

#include <pixman.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace kex::imaging {
namespace {

constexpr std::uint32_t kRedBlue = 0x00FF00FF;
constexpr std::uint32_t kGreen = 0x0000FF00;

struct PixmanImageDeleter {
  void operator()(pixman_image_t* image) const { pixman_image_unref(image); }
};
using PixmanImage = std::unique_ptr<pixman_image_t, PixmanImageDeleter>;

// The rounded mean of four pixels, two channels at a time: red and blue sums stay below bit
// 10 of their byte lanes, so they never reach the next channel.
std::uint32_t average4(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
  const std::uint32_t redBlue = (a & kRedBlue) + (b & kRedBlue) + (c & kRedBlue) + (d & kRedBlue);
  const std::uint32_t green = (a & kGreen) + (b & kGreen) + (c & kGreen) + (d & kGreen);
  return (((redBlue + 0x00020002) >> 2) & kRedBlue) | (((green + 0x00000200) >> 2) & kGreen);
}

// Both axes: each target pixel is the mean of a 2x2 box. An odd last column (or row, through
// the caller passing the same row twice) is paired with itself.
void halveRow2x2(const std::uint32_t* upper, const std::uint32_t* lower, std::uint32_t* out,
                 int sourceWidth) {
  const int pairs = sourceWidth / 2;
  for (int x = 0; x < pairs; ++x) {
    out[x] = average4(upper[2 * x], upper[2 * x + 1], lower[2 * x], lower[2 * x + 1]);
  }
  if (sourceWidth % 2 != 0) {
    const int last = sourceWidth - 1;
    out[pairs] = average4(upper[last], upper[last], lower[last], lower[last]);
  }
}

// Across X only: the mean of two neighbours, counted twice so that the rounding matches.
void halveRowAcross(const std::uint32_t* row, std::uint32_t* out, int sourceWidth) {
  halveRow2x2(row, row, out, sourceWidth);
}

// Down Y only: the mean of two rows.
void halveRowDown(const std::uint32_t* upper, const std::uint32_t* lower, std::uint32_t* out,
                  int width) {
  for (int x = 0; x < width; ++x) {
    out[x] = average4(upper[x], upper[x], lower[x], lower[x]);
  }
}

void halve(const PixelView& source, const PixelView& target, bool acrossX, bool acrossY) {
  for (int y = 0; y < target.height; ++y) {
    const int top = acrossY ? 2 * y : y;
    const std::uint32_t* upper = source.row(top);
    const std::uint32_t* lower = source.row(acrossY ? std::min(top + 1, source.height - 1) : top);
    std::uint32_t* out = target.row(y);
    if (!acrossY) {
      halveRowAcross(upper, out, source.width);
    } else if (!acrossX) {
      halveRowDown(upper, lower, out, source.width);
    } else {
      halveRow2x2(upper, lower, out, source.width);
    }
  }
}

PixelView viewOf(std::vector<std::uint32_t>& buffer, int width, int height) {
  const auto size = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  // Growing only: a buffer that has held the largest image keeps its pages.
  if (buffer.size() < size) {
    buffer.resize(size);
  }
  return {buffer.data(), width, height, static_cast<std::size_t>(width) * 4};
}

// 0x00RRGGBB becomes 0x00BBGGRR, whose first three bytes in memory are R, G, B.
std::uint32_t rgbBytes(std::uint32_t pixel) { return __builtin_bswap32(pixel) >> 8; }

void storeWord(std::uint8_t* out, std::uint32_t word) { std::memcpy(out, &word, sizeof word); }

// Four pixels at a time go out as three 32-bit words, the remainder byte by byte.
void packRow(const std::uint32_t* in, std::uint8_t* out, int width) {
  static_assert(std::endian::native == std::endian::little, "the packing assumes little-endian");
  const int groups = width / 4;
  for (int g = 0; g < groups; ++g) {
    const std::uint32_t p0 = rgbBytes(in[4 * g]);
    const std::uint32_t p1 = rgbBytes(in[4 * g + 1]);
    const std::uint32_t p2 = rgbBytes(in[4 * g + 2]);
    const std::uint32_t p3 = rgbBytes(in[4 * g + 3]);
    storeWord(out + 12 * g, p0 | (p1 << 24));
    storeWord(out + 12 * g + 4, (p1 >> 8) | (p2 << 16));
    storeWord(out + 12 * g + 8, (p2 >> 16) | (p3 << 8));
  }
  for (int x = 4 * groups; x < width; ++x) {
    out[3 * x] = static_cast<std::uint8_t>(in[x] >> 16);
    out[3 * x + 1] = static_cast<std::uint8_t>(in[x] >> 8);
    out[3 * x + 2] = static_cast<std::uint8_t>(in[x]);
  }
}

void packRgb(const PixelView& source, std::uint8_t* rgb) {
  const auto rowBytes = static_cast<std::size_t>(source.width) * 3;
  for (int y = 0; y < source.height; ++y) {
    packRow(source.row(y), rgb + static_cast<std::size_t>(y) * rowBytes, source.width);
  }
}

PixmanImage pixmanOver(const PixelView& view) {
  return PixmanImage(pixman_image_create_bits_no_clear(PIXMAN_x8r8g8b8, view.width, view.height,
                                                       view.data, static_cast<int>(view.stride)));
}

}  // namespace

void ImageScaler::toRgb(const PixelView& source, std::int64_t width, std::int64_t height,
                        std::vector<std::uint8_t>& rgb) {
  if (width < 1 || height < 1 || source.width < 1 || source.height < 1) {
    throw std::invalid_argument("an empty image cannot be scaled");
  }
  PixelView view = halveUntilClose(source, width, height);
  if (view.width != width || view.height != height) {
    view = bilinear(view, static_cast<int>(width), static_cast<int>(height));
  }
  rgb.resize(static_cast<std::size_t>(width * height * 3));
  packRgb(view, rgb.data());
}

PixelView ImageScaler::halveUntilClose(PixelView source, std::int64_t width, std::int64_t height) {
  int turn = 0;
  for (;;) {
    const bool acrossX = source.width >= 2 * width;
    const bool acrossY = source.height >= 2 * height;
    if (!acrossX && !acrossY) {
      return source;
    }
    const int halvedWidth = acrossX ? (source.width + 1) / 2 : source.width;
    const int halvedHeight = acrossY ? (source.height + 1) / 2 : source.height;
    const PixelView target = viewOf(halves_[turn], halvedWidth, halvedHeight);
    halve(source, target, acrossX, acrossY);
    source = target;
    turn ^= 1;
  }
}

PixelView ImageScaler::bilinear(const PixelView& source, int width, int height) {
  const PixelView target = viewOf(scaled_, width, height);
  const PixmanImage from = pixmanOver(source);
  const PixmanImage to = pixmanOver(target);
  if (!from || !to) {
    throw std::runtime_error("the image could not be scaled");
  }
  // Maps each target pixel back onto the source; pixman samples at pixel centres.
  pixman_transform_t transform;
  pixman_transform_init_scale(&transform, pixman_double_to_fixed(double(source.width) / width),
                              pixman_double_to_fixed(double(source.height) / height));
  pixman_image_set_transform(from.get(), &transform);
  pixman_image_set_filter(from.get(), PIXMAN_FILTER_BILINEAR, nullptr, 0);
  // Edge pixels blend with copies of themselves rather than with black.
  pixman_image_set_repeat(from.get(), PIXMAN_REPEAT_PAD);
  pixman_image_composite32(PIXMAN_OP_SRC, from.get(), nullptr, to.get(), 0, 0, 0, 0, 0, 0, width,
                           height);
  return target;
}

}  // namespace kex::imaging

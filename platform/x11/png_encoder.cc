#include "platform/x11/png_encoder.h"

#include <png.h>
#include <zlib.h>

#include <csetjmp>
#include <limits>
#include <new>

namespace kex::platform::x11 {
namespace {

constexpr int kCompressionLevel = 1;
// Larger deflate chunks mean fewer IDAT chunks and fewer calls into the write callback.
constexpr std::size_t kDeflateBuffer = 256 * 1024;
// libpng refuses rows wider than this, and the logic never asks for more.
constexpr std::int64_t kMaxSide = 1'000'000;

// libpng's default handlers print to stderr; this backend never prints.
[[noreturn]] void failQuietly(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void ignoreWarning(png_structp, png_const_charp) {}

void appendOutput(png_structp png, png_bytep data, png_size_t length) {
  auto* output = static_cast<std::vector<std::uint8_t>*>(png_get_io_ptr(png));
  try {
    output->insert(output->end(), data, data + length);
  } catch (const std::bad_alloc&) {
    // Exceptions must not cross libpng's C frames.
    png_error(png, "out of memory");
  }
}

void flushNothing(png_structp) {}

// Everything between setjmp and a longjmp back to it is plain C: no object here has a
// destructor that the jump would skip.
bool writeImage(png_structp png, png_infop info, const Image& image, std::uint8_t** rows) {
  if (setjmp(png_jmpbuf(png)) != 0) {
    return false;
  }
  png_set_IHDR(png, info, static_cast<png_uint_32>(image.width),
               static_cast<png_uint_32>(image.height), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
  png_set_compression_level(png, kCompressionLevel);
  png_set_compression_strategy(png, Z_DEFAULT_STRATEGY);
  png_set_compression_buffer_size(png, kDeflateBuffer);
  png_write_info(png, info);
  png_write_image(png, rows);
  png_write_end(png, info);
  return true;
}

bool wellFormed(const Image& image) {
  return image.width > 0 && image.height > 0 && image.width <= kMaxSide &&
         image.height <= kMaxSide &&
         image.rgb.size() == static_cast<std::size_t>(image.width * image.height * 3);
}

}  // namespace

std::optional<std::vector<std::uint8_t>> PngEncoder::encode(const Image& image) {
  if (!wellFormed(image)) {
    return std::nullopt;
  }
  png_structp png =
      png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, failQuietly, ignoreWarning);
  if (png == nullptr) {
    return std::nullopt;
  }
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    return std::nullopt;
  }
  output_.clear();
  rows_.resize(static_cast<std::size_t>(image.height));
  const auto stride = static_cast<std::size_t>(image.width) * 3;
  // libpng takes non-const rows but only reads them when writing.
  auto* pixels = const_cast<std::uint8_t*>(image.rgb.data());
  for (std::size_t y = 0; y < rows_.size(); ++y) {
    rows_[y] = pixels + y * stride;
  }
  png_set_write_fn(png, &output_, appendOutput, flushNothing);
  const bool written = writeImage(png, info, image, rows_.data());
  png_destroy_write_struct(&png, &info);
  if (!written) {
    return std::nullopt;
  }
  return std::vector<std::uint8_t>(output_.begin(), output_.end());
}

}  // namespace kex::platform::x11

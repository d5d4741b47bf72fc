#include "imaging/png_encoder.h"

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <csetjmp>
#include <new>
#include <system_error>
#include <thread>

namespace kex::imaging {
namespace {

constexpr int kCompressionLevel = 1;
constexpr int kWindowBits = 15;
constexpr std::size_t kWindowBytes = std::size_t{1} << kWindowBits;
constexpr int kMemoryLevel = 8;
// The stream header for a 32 KiB window at the fastest level: (0x78 << 8 | 0x01) % 31 == 0.
constexpr std::uint8_t kZlibHeader[] = {0x78, 0x01};
// Below this the second thread costs more than it saves.
constexpr std::int64_t kMinRowsToSplit = 64;
// libpng's own default limit on either side; the logic never asks for more.
constexpr std::int64_t kMaxSide = 1'000'000;
// Every row of PNG image data starts with its filter type; 0 is None.
constexpr std::uint8_t kFilterNone = 0;
// Z_SYNC_FLUSH ends a band with an empty stored block that deflateBound does not count.
constexpr std::size_t kFlushMargin = 16;

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

bool wellFormed(const RgbView& image) {
  return image.width > 0 && image.height > 0 && image.width <= kMaxSide &&
         image.height <= kMaxSide &&
         image.size == static_cast<std::size_t>(image.width * image.height * 3);
}

std::size_t rowBytes(const RgbView& image) { return static_cast<std::size_t>(image.width) * 3; }

Bytef* bytesAt(const RgbView& image, std::int64_t row) {
  // zlib takes non-const input but never writes it.
  return const_cast<Bytef*>(image.data) + static_cast<std::size_t>(row) * rowBytes(image);
}

// The last 32 KiB of the image data before firstRow, filter bytes included: what a single
// serial stream would have in its window when it reached firstRow.
void historyBefore(const RgbView& image, std::int64_t firstRow,
                   std::vector<std::uint8_t>& history) {
  history.clear();
  const std::size_t perRow = rowBytes(image) + 1;
  const auto rowsNeeded = static_cast<std::int64_t>((kWindowBytes + perRow - 1) / perRow);
  for (std::int64_t row = std::max<std::int64_t>(0, firstRow - rowsNeeded); row < firstRow; ++row) {
    history.push_back(kFilterNone);
    history.insert(history.end(), bytesAt(image, row), bytesAt(image, row) + rowBytes(image));
  }
  if (history.size() > kWindowBytes) {
    history.erase(history.begin(), history.end() - static_cast<std::ptrdiff_t>(kWindowBytes));
  }
}

bool feed(z_stream& stream, Bytef* data, std::size_t length, int flush) {
  stream.next_in = data;
  stream.avail_in = static_cast<uInt>(length);
  const int result = deflate(&stream, flush);
  return (result == Z_OK || result == Z_STREAM_END) && stream.avail_in == 0;
}

// Raw deflate of the rows, so that bands compressed apart join into one stream: a band that
// is not the last ends on a byte boundary without closing the stream, and a band that is not
// the first starts with its predecessor's history, so matches still reach across the seam.
bool deflateRows(const RgbView& image, std::int64_t firstRow, std::int64_t endRow, bool last,
                 CompressedBand& band, std::vector<std::uint8_t>& history) {
  band.ok = false;
  z_stream stream{};
  if (deflateInit2(&stream, kCompressionLevel, Z_DEFLATED, -kWindowBits, kMemoryLevel,
                   Z_DEFAULT_STRATEGY) != Z_OK) {
    return false;
  }
  const std::size_t perRow = rowBytes(image);
  band.inputLength = (perRow + 1) * static_cast<std::size_t>(endRow - firstRow);
  bool ok = true;
  try {
    if (firstRow > 0) {
      historyBefore(image, firstRow, history);
      ok = deflateSetDictionary(&stream, history.data(), static_cast<uInt>(history.size())) == Z_OK;
    }
    const std::size_t bound = deflateBound(&stream, band.inputLength) + kFlushMargin;
    // Growing only, so that captures of one size stop allocating after the first.
    if (band.bytes.size() < bound) {
      band.bytes.resize(bound);
    }
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  stream.next_out = band.bytes.data();
  stream.avail_out = static_cast<uInt>(band.bytes.size());
  uLong adler = adler32(0L, Z_NULL, 0);
  Bytef filter = kFilterNone;
  for (std::int64_t row = firstRow; ok && row < endRow; ++row) {
    const int flush = row + 1 < endRow ? Z_NO_FLUSH : (last ? Z_FINISH : Z_SYNC_FLUSH);
    ok = feed(stream, &filter, 1, Z_NO_FLUSH) && feed(stream, bytesAt(image, row), perRow, flush);
    adler = adler32(adler, &filter, 1);
    adler = adler32(adler, bytesAt(image, row), static_cast<uInt>(perRow));
  }
  band.used = stream.total_out;
  band.adler = static_cast<std::uint32_t>(adler);
  deflateEnd(&stream);
  band.ok = ok;
  return ok;
}

// Everything between setjmp and a longjmp back to it is plain C: no object here has a
// destructor that the jump would skip.
bool writePng(png_structp png, png_infop info, const RgbView& image, const std::uint8_t* imageData,
              std::size_t imageDataSize) {
  if (setjmp(png_jmpbuf(png)) != 0) {
    return false;
  }
  png_set_IHDR(png, info, static_cast<png_uint_32>(image.width),
               static_cast<png_uint_32>(image.height), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  // The image data was compressed above, in bands on two cores, which libpng cannot do; it
  // writes the chunks around it.
  png_write_chunk(png, reinterpret_cast<png_const_bytep>("IDAT"), imageData, imageDataSize);
  png_write_chunk(png, reinterpret_cast<png_const_bytep>("IEND"), nullptr, 0);
  return true;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> PngEncoder::encode(const RgbView& image) {
  if (!wellFormed(image) || !compress(image) || !assembleImageData()) {
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
  png_set_write_fn(png, &output_, appendOutput, flushNothing);
  const bool written = writePng(png, info, image, imageData_.data(), imageDataSize_);
  png_destroy_write_struct(&png, &info);
  if (!written) {
    return std::nullopt;
  }
  return std::vector<std::uint8_t>(output_.begin(), output_.end());
}

bool PngEncoder::compress(const RgbView& image) {
  bands_[1].ok = false;
  bands_[1].used = 0;
  if (image.height < kMinRowsToSplit || !helper_.available()) {
    return deflateRows(image, 0, image.height, true, bands_[0], histories_[0]);
  }
  const std::int64_t middle = image.height / 2;
  helper_.start([this, &image, middle] {
    (void)deflateRows(image, middle, image.height, true, bands_[1], histories_[1]);
  });
  const bool upperOk = deflateRows(image, 0, middle, false, bands_[0], histories_[0]);
  helper_.wait();
  return upperOk && bands_[1].ok;
}

bool PngEncoder::assembleImageData() {
  const CompressedBand& first = bands_[0];
  const CompressedBand& second = bands_[1];
  std::uint32_t adler = first.adler;
  if (second.used > 0) {
    adler = static_cast<std::uint32_t>(
        adler32_combine(first.adler, second.adler, static_cast<z_off_t>(second.inputLength)));
  }
  constexpr std::size_t kTrailerBytes = 4;
  imageDataSize_ = sizeof kZlibHeader + first.used + second.used + kTrailerBytes;
  try {
    if (imageData_.size() < imageDataSize_) {
      imageData_.resize(imageDataSize_);
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  std::uint8_t* out = imageData_.data();
  out = std::copy(std::begin(kZlibHeader), std::end(kZlibHeader), out);
  out = std::copy_n(first.bytes.data(), first.used, out);
  out = std::copy_n(second.bytes.data(), second.used, out);
  // The trailer is the Adler-32 of all the uncompressed data, most significant byte first.
  for (int shift = 24; shift >= 0; shift -= 8) {
    *out++ = static_cast<std::uint8_t>(adler >> shift);
  }
  return true;
}

}  // namespace kex::imaging

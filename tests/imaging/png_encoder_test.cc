#include "imaging/png_encoder.h"

#include <gtest/gtest.h>
#include <png.h>

#include <optional>
#include <random>
#include <vector>

namespace kex::imaging {
namespace {

// An image that owns its pixels, as a capture hands them over.
struct Image {
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::vector<std::uint8_t> rgb;

  [[nodiscard]] RgbView view() const { return RgbView::of(rgb, width, height); }
};

Image randomImage(std::int64_t width, std::int64_t height, unsigned seed) {
  Image image;
  image.width = width;
  image.height = height;
  image.rgb.resize(static_cast<std::size_t>(width * height * 3));
  std::mt19937 random(seed);
  // Runs of one colour with noise between them, so that both long matches and literals occur.
  for (std::size_t i = 0; i < image.rgb.size(); ++i) {
    image.rgb[i] = (i / 300) % 2 == 0 ? static_cast<std::uint8_t>(random()) : 0x40;
  }
  return image;
}

// Decodes with libpng's own reader: the pixels, or nothing when the file is not a valid PNG.
std::optional<Image> decode(const std::vector<std::uint8_t>& file) {
  png_image reader{};
  reader.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&reader, file.data(), file.size())) return std::nullopt;
  reader.format = PNG_FORMAT_RGB;
  Image image;
  image.width = reader.width;
  image.height = reader.height;
  image.rgb.resize(PNG_IMAGE_SIZE(reader));
  if (!png_image_finish_read(&reader, nullptr, image.rgb.data(), 0, nullptr)) return std::nullopt;
  return image;
}

TEST(PngEncoder, RoundTripsImagesOfManyShapesExactly) {
  PngEncoder encoder;
  const std::pair<std::int64_t, std::int64_t> sizes[] = {
      {1, 1}, {3, 1}, {1, 7}, {64, 40}, {333, 211}, {1024, 576}, {802, 625}, {2048, 1200}};
  unsigned seed = 1;
  for (const auto& [width, height] : sizes) {
    const auto image = randomImage(width, height, seed++);
    const auto file = encoder.encode(image.view());
    ASSERT_TRUE(file.has_value()) << width << "x" << height;
    const auto decoded = decode(*file);
    ASSERT_TRUE(decoded.has_value()) << width << "x" << height;
    EXPECT_EQ(decoded->width, width);
    EXPECT_EQ(decoded->height, height);
    EXPECT_TRUE(decoded->rgb == image.rgb) << width << "x" << height;
  }
}

TEST(PngEncoder, ReusesItsBuffersWithoutMixingImages) {
  PngEncoder encoder;
  const auto large = randomImage(1200, 900, 7);
  const auto small = randomImage(50, 30, 8);
  ASSERT_TRUE(encoder.encode(large.view()).has_value());
  const auto file = encoder.encode(small.view());
  ASSERT_TRUE(file.has_value());
  const auto decoded = decode(*file);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_TRUE(decoded->rgb == small.rgb);
}

TEST(PngEncoder, RefusesAMalformedImage) {
  PngEncoder encoder;
  Image image;
  image.width = 10;
  image.height = 10;
  image.rgb.resize(10);  // far fewer bytes than 10 by 10 pixels
  EXPECT_FALSE(encoder.encode(image.view()).has_value());
  image.width = 0;
  image.rgb.clear();
  EXPECT_FALSE(encoder.encode(image.view()).has_value());
}

}  // namespace
}  // namespace kex::imaging

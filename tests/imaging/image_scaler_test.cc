#include "imaging/image_scaler.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace kex::imaging {
namespace {

// Server pixels 0x00RRGGBB in a buffer of its own, rows `extra` pixels wider than the image so
// that the stride is honoured.
struct Pixels {
  Pixels(int width, int height, int extra = 3)
      : storage(static_cast<std::size_t>((width + extra) * height)),
        view{storage.data(), width, height, static_cast<std::size_t>(width + extra) * 4} {}

  void fill(std::uint32_t (*colour)(int x, int y)) {
    for (int y = 0; y < view.height; ++y) {
      for (int x = 0; x < view.width; ++x) view.row(y)[x] = colour(x, y);
    }
  }

  std::vector<std::uint32_t> storage;
  PixelView view;
};

TEST(ImageScaler, CopiesAnImageOfTheSameSizeExactlyAsRgb) {
  Pixels source(5, 4);
  source.fill([](int x, int y) { return std::uint32_t(0xFF000000u | (x * 40) << 16 | y * 60); });
  ImageScaler scaler;
  std::vector<std::uint8_t> rgb;
  scaler.toRgb(source.view, 5, 4, rgb);
  ASSERT_EQ(rgb.size(), 5u * 4u * 3u);
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 5; ++x) {
      const auto* pixel = &rgb[(y * 5 + x) * 3];
      EXPECT_EQ(pixel[0], x * 40);
      EXPECT_EQ(pixel[1], 0);
      EXPECT_EQ(pixel[2], y * 60);
    }
  }
}

TEST(ImageScaler, ShrinkingFarAveragesEverySourcePixel) {
  // One-pixel stripes of black and white: sampling would alias to one of them, averaging gives
  // mid grey everywhere.
  Pixels source(512, 512);
  source.fill([](int x, int) { return x % 2 == 0 ? 0x00FFFFFFu : 0x00000000u; });
  ImageScaler scaler;
  std::vector<std::uint8_t> rgb;
  scaler.toRgb(source.view, 37, 37, rgb);
  ASSERT_EQ(rgb.size(), 37u * 37u * 3u);
  for (const auto component : rgb) {
    EXPECT_NEAR(component, 127, 3);
  }
}

TEST(ImageScaler, KeepsASolidColourAtAnySize) {
  Pixels source(100, 60);
  source.fill([](int, int) { return 0x0012AB34u; });
  ImageScaler scaler;
  for (const auto& [width, height] : {std::pair{1, 1}, {33, 20}, {250, 150}, {100, 60}}) {
    std::vector<std::uint8_t> rgb;
    scaler.toRgb(source.view, width, height, rgb);
    ASSERT_EQ(rgb.size(), std::size_t(width * height * 3));
    for (std::size_t i = 0; i < rgb.size(); i += 3) {
      ASSERT_EQ(rgb[i], 0x12);
      ASSERT_EQ(rgb[i + 1], 0xAB);
      ASSERT_EQ(rgb[i + 2], 0x34);
    }
  }
}

TEST(ImageScaler, RefusesAnEmptySourceOrTarget) {
  Pixels source(4, 4);
  ImageScaler scaler;
  std::vector<std::uint8_t> rgb;
  EXPECT_THROW(scaler.toRgb(source.view, 0, 4, rgb), std::invalid_argument);
  EXPECT_THROW(scaler.toRgb(PixelView{}, 4, 4, rgb), std::invalid_argument);
}

}  // namespace
}  // namespace kex::imaging

#include "tools/demo/picture.h"

#include <png.h>

#include <cstdlib>

namespace kex::demo {
namespace {

// Widths of the blocks that are buttons, and the least width of an entry, in pixels.
constexpr int kNarrowest = 24;
constexpr int kWidestButton = 200;

// A run of pixels of a row that are not background, with background on both ends.
struct Run {
  int begin = 0;
  int end = 0;
  [[nodiscard]] int width() const { return end - begin; }
};

bool near(std::uint32_t a, std::uint32_t b) {
  const auto part = [](std::uint32_t value, int shift) {
    return static_cast<int>((value >> shift) & 0xff);
  };
  int distance = 0;
  for (int shift : {0, 8, 16}) distance += std::abs(part(a, shift) - part(b, shift));
  return distance < 24;
}

std::vector<Run> enclosedRuns(const Picture& picture, int y, std::uint32_t background) {
  std::vector<Run> runs;
  int x = 0;
  while (x < picture.width) {
    if (near(picture.at(x, y), background)) {
      ++x;
      continue;
    }
    const int begin = x;
    while (x < picture.width && !near(picture.at(x, y), background)) ++x;
    // Only a run closed by background on both sides is a widget; one at an edge is a frame.
    if (begin > 0 && x < picture.width) runs.push_back({begin, x});
  }
  return runs;
}

// From a pixel of a block, the row where the block ends going up (step -1) or down (step 1).
int blockEdge(const Picture& picture, int x, int y, int step, std::uint32_t background) {
  while (y + step >= 0 && y + step < picture.height && !near(picture.at(x, y + step), background)) {
    y += step;
  }
  return y;
}

}  // namespace

std::uint32_t Picture::at(int x, int y) const {
  const auto* pixel = &rgb[static_cast<std::size_t>((y * width + x) * 3)];
  return (std::uint32_t{pixel[0]} << 16) | (std::uint32_t{pixel[1]} << 8) | pixel[2];
}

std::optional<Picture> decodePng(const std::string& bytes) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) return std::nullopt;
  image.format = PNG_FORMAT_RGB;
  Picture picture;
  picture.width = static_cast<int>(image.width);
  picture.height = static_cast<int>(image.height);
  picture.rgb.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, picture.rgb.data(), 0, nullptr)) {
    png_image_free(&image);
    return std::nullopt;
  }
  return picture;
}

std::optional<DemoWidgets> findDemoWidgets(const Picture& picture, std::uint32_t background) {
  std::optional<Spot> button;
  std::optional<Spot> entry;
  // The buttons are the lowest row of narrow blocks.
  for (int y = picture.height - 1; y >= 0 && !button; --y) {
    for (const Run& run : enclosedRuns(picture, y, background)) {
      if (run.width() < kNarrowest || run.width() > kWidestButton) continue;
      const int x = (run.begin + run.end) / 2;
      button = Spot{x, (blockEdge(picture, x, y, -1, background) + y) / 2};
      break;
    }
  }
  // The entries are the wide blocks; the first from the top takes text.
  for (int y = 0; y < picture.height && !entry; ++y) {
    for (const Run& run : enclosedRuns(picture, y, background)) {
      if (run.width() <= kWidestButton) continue;
      const int x = (run.begin + run.end) / 2;
      entry = Spot{x, (y + blockEdge(picture, x, y, 1, background)) / 2};
      break;
    }
  }
  if (!button || !entry) return std::nullopt;
  const int belowButtons = blockEdge(picture, button->x, button->y, 1, background) + 1;
  const int spare = picture.height - belowButtons;
  if (spare < 20) return std::nullopt;
  return DemoWidgets{*button, *entry, Spot{picture.width / 4, belowButtons + spare / 2}};
}

}  // namespace kex::demo

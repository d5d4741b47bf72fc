// What the demo sees in a window capture, as a host looking at the picture would: decoded
// pixels, and the widgets of the demo application found by their shapes on its background.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kex::demo {

// An 8-bit RGB picture, rows top to bottom.
struct Picture {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgb;

  [[nodiscard]] std::uint32_t at(int x, int y) const;
};

// The PNG file's pixels; nothing when the bytes are no PNG.
[[nodiscard]] std::optional<Picture> decodePng(const std::string& bytes);

// A pixel of the picture.
struct Spot {
  int x = 0;
  int y = 0;
};

// The widgets of the demo application: each a block of other colours with the window's
// background colour on its left and right. Buttons are narrow blocks, entries wide ones.
struct DemoWidgets {
  Spot firstButton;  // the middle of the left-most button of the bottom row of buttons
  Spot firstEntry;   // the middle of the top-most entry
  Spot background;   // a pixel of plain background below the buttons
};

// Finds them on a background of the colour 0xRRGGBB; nothing when the picture does not show
// them.
[[nodiscard]] std::optional<DemoWidgets> findDemoWidgets(const Picture& picture,
                                                         std::uint32_t background);

}  // namespace kex::demo

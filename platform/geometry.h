// Plain geometry values shared by the logic and every desktop backend.
#pragma once

namespace kex::platform {

// A point in the global display space: origin at the top-left corner of the main display,
// y growing downward. On X11 one point is one pixel of the root window.
struct Point {
  double x = 0;
  double y = 0;

  bool operator==(const Point&) const = default;
};

struct Size {
  double width = 0;
  double height = 0;

  bool operator==(const Size&) const = default;
};

// A rectangle in the global display space. Equality is exact, without tolerance.
struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;

  bool operator==(const Rect&) const = default;

  // Minimum edges inclusive, maximum edges exclusive.
  [[nodiscard]] bool contains(Point p) const {
    return p.x >= x && p.y >= y && p.x < x + width && p.y < y + height;
  }
};

}  // namespace kex::platform

#include "platform/linux/x11/cursor_overlay.h"

#include <algorithm>
#include <cstdint>

namespace kex::platform::x11 {
namespace {

// The cursor is premultiplied: out = cursor + screen * (1 - alpha).
std::uint32_t over(std::uint32_t cursor, std::uint32_t screen) {
  const std::uint32_t alpha = cursor >> 24;
  if (alpha == 0xFF) {
    return cursor;
  }
  const std::uint32_t keep = 0xFF - alpha;
  std::uint32_t out = 0;
  for (int shift = 0; shift <= 16; shift += 8) {
    const std::uint32_t top = (cursor >> shift) & 0xFF;
    const std::uint32_t bottom = (screen >> shift) & 0xFF;
    const std::uint32_t channel = std::min<std::uint32_t>(0xFF, top + (bottom * keep + 127) / 255);
    out |= channel << shift;
  }
  return out;
}

}  // namespace

std::optional<xcb_xfixes_get_cursor_image_cookie_t> askCursorImage(const Connection& connection) {
  if (!connection.hasXFixes()) {
    return std::nullopt;
  }
  return xcb_xfixes_get_cursor_image(connection.get());
}

void drawCursor(const Connection& connection,
                std::optional<xcb_xfixes_get_cursor_image_cookie_t> cookie,
                const imaging::PixelView& pixels, int originX, int originY) {
  if (!cookie) {
    return;
  }
  const auto cursor = connection.reply<xcb_xfixes_get_cursor_image_reply_t>(
      *cookie, xcb_xfixes_get_cursor_image_reply);
  if (!cursor || pixels.data == nullptr ||
      xcb_xfixes_get_cursor_image_cursor_image_length(cursor.get()) <
          int{cursor->width} * int{cursor->height}) {
    return;
  }
  const std::uint32_t* image = xcb_xfixes_get_cursor_image_cursor_image(cursor.get());
  // The reported position is the hotspot's.
  const int left = cursor->x - cursor->xhot - originX;
  const int top = cursor->y - cursor->yhot - originY;
  const int firstColumn = std::max(0, -left);
  const int lastColumn = std::min<int>(cursor->width, pixels.width - left);
  const int firstRow = std::max(0, -top);
  const int lastRow = std::min<int>(cursor->height, pixels.height - top);
  for (int row = firstRow; row < lastRow; ++row) {
    std::uint32_t* target = pixels.row(top + row) + left;
    const std::uint32_t* source = image + static_cast<std::size_t>(row) * cursor->width;
    for (int column = firstColumn; column < lastColumn; ++column) {
      target[column] = over(source[column], target[column]);
    }
  }
}

}  // namespace kex::platform::x11

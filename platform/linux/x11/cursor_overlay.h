// The pointer's image drawn into a screenshot, as XFixes reports it.
#pragma once

#include <xcb/xfixes.h>

#include <optional>

#include "imaging/pixel_view.h"
#include "platform/linux/x11/connection.h"

namespace kex::platform::x11 {

// Asks for the cursor image; nothing without XFixes.
[[nodiscard]] std::optional<xcb_xfixes_get_cursor_image_cookie_t> askCursorImage(
    const Connection& connection);

// Waits for the cursor image (always, so that no reply stays queued) and blends it over the
// pixels, whose top-left pixel lies at (originX, originY) on the root window. Any thread
// that owns the pixels.
void drawCursor(const Connection& connection,
                std::optional<xcb_xfixes_get_cursor_image_cookie_t> cookie,
                const imaging::PixelView& pixels, int originX, int originY);

}  // namespace kex::platform::x11

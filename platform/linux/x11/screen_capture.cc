#include "platform/linux/x11/screen_capture.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>

#include "platform/desktop.h"
#include "platform/linux/x11/cursor_overlay.h"
#include "platform/linux/x11/window_tree.h"

namespace kex::platform::x11 {
namespace {

// The protocol's own limits are far lower; beyond these the arithmetic would overflow.
constexpr std::int64_t kMaxImageSide = 16384;
constexpr std::int64_t kWarmUpWidth = 1024;

// X coordinates are 16-bit; a rectangle beyond them is no rectangle on any screen.
struct PixelRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

PixelRect pixelRectOf(const Rect& rect) {
  const auto position = [](double value) {
    return static_cast<int>(std::clamp(std::round(value), -32768.0, 32767.0));
  };
  const auto extent = [](double value) {
    return static_cast<int>(std::clamp(std::round(std::fabs(value)), 0.0, 65535.0));
  };
  return {position(rect.x), position(rect.y), extent(rect.width), extent(rect.height)};
}

// The requests for a client window's own rectangle on the root window.
struct ClientRectCookies {
  xcb_get_geometry_cookie_t size;
  xcb_translate_coordinates_cookie_t origin;
};

ClientRectCookies askClientRect(const Connection& connection, xcb_window_t client) {
  return {xcb_get_geometry(connection.get(), client),
          xcb_translate_coordinates(connection.get(), client, connection.root(), 0, 0)};
}

std::optional<Rect> clientRectFrom(const Connection& connection, const ClientRectCookies& cookies) {
  const auto size =
      connection.reply<xcb_get_geometry_reply_t>(cookies.size, xcb_get_geometry_reply);
  const auto origin = connection.reply<xcb_translate_coordinates_reply_t>(
      cookies.origin, xcb_translate_coordinates_reply);
  if (!size || !origin) {
    return std::nullopt;
  }
  return Rect{double(origin->dst_x), double(origin->dst_y), double(size->width),
              double(size->height)};
}

// Where the client lies in an image of the listed frame scaled to width by height; nothing
// when the frame is the client's alone, without decorations around it.
std::optional<Rect> paintedPart(const Rect& client, const Rect& frame, std::int64_t width,
                                std::int64_t height) {
  if (client == frame || frame.width <= 0 || frame.height <= 0) {
    return std::nullopt;
  }
  const double scaleX = double(width) / frame.width;
  const double scaleY = double(height) / frame.height;
  return Rect{(client.x - frame.x) * scaleX, (client.y - frame.y) * scaleY, client.width * scaleX,
              client.height * scaleY};
}

// An image without pixels, for a window whose own pixels could not be had.
Image withheldImage(std::int64_t width, std::int64_t height) {
  Image image;
  image.width = width;
  image.height = height;
  image.withheld = true;
  return image;
}

void requireImageSize(std::int64_t width, std::int64_t height) {
  if (width < 1 || height < 1 || width > kMaxImageSide || height > kMaxImageSide) {
    throw PlatformError("image size out of range");
  }
}

}  // namespace

X11CaptureServices::X11CaptureServices(const Connection* connection) : connection_(connection) {
  if (connection_ == nullptr || connection_->broken()) {
    return;
  }
  grabber_ = std::make_unique<PixelGrabber>(*connection_);
  pixmaps_ = std::make_unique<WindowPixmaps>(*connection_);
  warmUp();
}

void X11CaptureServices::warmUp() {
  // First touches of fresh pages cost about 20 ms per 8 MiB; they are paid here, once.
  const Rect screen{0, 0, double(connection_->screenWidth()), double(connection_->screenHeight())};
  if (screen.width < 1 || screen.height < 1) {
    return;
  }
  const std::int64_t width = std::min<std::int64_t>(kWarmUpWidth, connection_->screenWidth());
  const auto height = std::max<std::int64_t>(
      1, static_cast<std::int64_t>(double(width) * screen.height / screen.width));
  try {
    (void)captureDisplay(DisplayContent{0, screen}, width, height, CursorMode::drawn);
  } catch (const std::exception&) {
    // The first real capture reports whatever went wrong.
  }
}

void X11CaptureServices::requireConnection() const {
  if (connection_ == nullptr || grabber_ == nullptr || connection_->broken()) {
    throw PlatformError("no connection to the X server");
  }
}

double X11CaptureServices::pointPixelScale(const WindowInfo&) {
  // On X11 one point is one pixel of the root window.
  return 1.0;
}

Image X11CaptureServices::captureDisplay(const DisplayContent& display, std::int64_t width,
                                         std::int64_t height, CursorMode cursor) {
  requireConnection();
  requireImageSize(width, height);
  const PixelRect bounds = pixelRectOf(display.frame);
  if (bounds.width < 1 || bounds.height < 1) {
    throw PlatformError("the display has no pixels");
  }
  // The pixels and the pointer are asked together and answered in one round trip.
  const PendingGrab grab = grabber_->send(
      connection_->root(), PixelRegion{bounds.x, bounds.y, bounds.width, bounds.height});
  const auto cursorImage =
      cursor == CursorMode::drawn ? askCursorImage(*connection_) : std::nullopt;
  const std::optional<imaging::PixelView> pixels = grabber_->receive(grab);
  drawCursor(*connection_, cursorImage, pixels.value_or(imaging::PixelView{}), bounds.x, bounds.y);
  if (!pixels) {
    throw PlatformError("the screen could not be read");
  }
  return scaled(*pixels, width, height);
}

Image X11CaptureServices::captureWindow(const WindowInfo& window, std::int64_t width,
                                        std::int64_t height) {
  requireConnection();
  requireImageSize(width, height);
  // Asked ahead of the walk to the frame, so that both are answered in one round trip.
  const ClientRectCookies clientCookies = askClientRect(*connection_, window.windowId);
  const auto topLevel = topLevelAncestor(*connection_, window.windowId);
  const auto client = clientRectFrom(*connection_, clientCookies);
  if (!topLevel || !client) {
    throw PlatformError("the window is gone");
  }
  const PixelRect frame = pixelRectOf(window.frame);
  const xcb_rectangle_t listed{
      static_cast<std::int16_t>(frame.x), static_cast<std::int16_t>(frame.y),
      static_cast<std::uint16_t>(frame.width), static_cast<std::uint16_t>(frame.height)};
  const Naming naming = pixmaps_->name(*topLevel, window.windowId, listed);
  if (naming.outcome == NamingOutcome::unpainted) {
    // Whatever the pixmap shows where the application has not painted is not the window's.
    return withheldImage(width, height);
  }
  if (naming.outcome != NamingOutcome::named) {
    throw PlatformError("the window's contents could not be named");
  }
  // A window listed in the middle of a window manager's animation is elsewhere by now.
  const auto pixels = grabWindow(naming.pixmap, window.frame);
  if (!pixels) return withheldImage(width, height);
  Image image = scaled(*pixels, width, height);
  image.content = paintedPart(*client, window.frame, width, height);
  return image;
}

Image X11CaptureServices::scaled(const imaging::PixelView& pixels, std::int64_t width,
                                 std::int64_t height) {
  Image image;
  image.width = width;
  image.height = height;
  scaler_.toRgb(pixels, width, height, image.rgb);
  return image;
}

std::optional<imaging::PixelView> X11CaptureServices::grabWindow(const NamedPixmap& named,
                                                                 const Rect& listedFrame) {
  // The listed frame, in the pixmap's coordinates, and the part of it the pixmap holds.
  const PixelRect frame = pixelRectOf(listedFrame);
  const int left = frame.x - named.x;
  const int top = frame.y - named.y;
  const int coveredLeft = std::max(left, 0);
  const int coveredTop = std::max(top, 0);
  const int coveredRight = std::min(left + frame.width, named.width);
  const int coveredBottom = std::min(top + frame.height, named.height);
  if (coveredRight <= coveredLeft || coveredBottom <= coveredTop) {
    pixmaps_->release();
    return std::nullopt;
  }
  const PendingGrab grab = grabber_->send(
      named.pixmap,
      PixelRegion{coveredLeft, coveredTop, coveredRight - coveredLeft, coveredBottom - coveredTop});
  pixmaps_->release();
  const std::optional<imaging::PixelView> pixels = grabber_->receive(grab);
  if (!pixels) {
    throw PlatformError("the window could not be read");
  }
  if (pixels->width == frame.width && pixels->height == frame.height) {
    return *pixels;
  }
  return placeInFrame(*pixels, coveredLeft - left, coveredTop - top, frame.width, frame.height);
}

imaging::PixelView X11CaptureServices::placeInFrame(const imaging::PixelView& pixels, int left,
                                                    int top, int width, int height) {
  // Where the window manager's frame differs from the listed one, what lies outside the
  // window's pixmap is black.
  framed_.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), 0);
  const imaging::PixelView frame{framed_.data(), width, height,
                                 static_cast<std::size_t>(width) * 4};
  for (int y = 0; y < pixels.height; ++y) {
    std::memcpy(frame.row(top + y) + left, pixels.row(y),
                static_cast<std::size_t>(pixels.width) * 4);
  }
  return frame;
}

}  // namespace kex::platform::x11

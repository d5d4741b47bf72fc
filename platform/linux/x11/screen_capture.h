// Screenshots of displays and windows read from the X server.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "imaging/image_scaler.h"
#include "platform/capture.h"
#include "platform/linux/x11/connection.h"
#include "platform/linux/x11/pixel_grabber.h"
#include "platform/linux/x11/window_pixmap.h"

namespace kex::platform::x11 {

// Request thread only, as the interface requires: the shared memory segment, the scaler's
// buffers and the encoder's are used without a lock and kept from one capture to the next.
class X11CaptureServices final : public CaptureServices {
 public:
  // connection is nullptr when no display could be opened. With one, the whole screen is
  // captured and encoded once right away, so that the first real capture finds every buffer
  // paged in.
  explicit X11CaptureServices(const Connection* connection);

  [[nodiscard]] double pointPixelScale(const WindowInfo& window) override;
  [[nodiscard]] Image captureDisplay(const DisplayContent& display, std::int64_t width,
                                     std::int64_t height, CursorMode cursor) override;
  [[nodiscard]] Image captureWindow(const WindowInfo& window, std::int64_t width,
                                    std::int64_t height) override;

 private:
  void requireConnection() const;
  void warmUp();
  [[nodiscard]] Image scaled(const imaging::PixelView& pixels, std::int64_t width,
                             std::int64_t height);
  // The pixels of the listed frame; nothing when the window no longer lies there at all.
  [[nodiscard]] std::optional<imaging::PixelView> grabWindow(const NamedPixmap& named,
                                                             const Rect& listedFrame);
  [[nodiscard]] imaging::PixelView placeInFrame(const imaging::PixelView& pixels, int left, int top,
                                                int width, int height);

  const Connection* connection_;
  std::unique_ptr<PixelGrabber> grabber_;   // nullptr without a connection
  std::unique_ptr<WindowPixmaps> pixmaps_;  // nullptr without a connection
  imaging::ImageScaler scaler_;
  // The listed frame's pixels, when the window's pixmap does not cover all of it.
  std::vector<std::uint32_t> framed_;
};

}  // namespace kex::platform::x11

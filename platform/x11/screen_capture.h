// Screenshots of displays and windows read from the X server, and their PNG encoding.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/capture.h"
#include "platform/x11/connection.h"
#include "platform/x11/image_scaler.h"
#include "platform/x11/pixel_grabber.h"
#include "platform/x11/png_encoder.h"
#include "platform/x11/showing_log.h"
#include "platform/x11/window_pixmap.h"

namespace kex::platform::x11 {

// Request thread only, as the interface requires: the shared memory segment, the scaler's
// buffers and the encoder's are used without a lock and kept from one capture to the next.
class X11CaptureServices final : public CaptureServices {
 public:
  // connection is nullptr when no display could be opened. With one, the whole screen is
  // captured and encoded once right away, so that the first real capture finds every buffer
  // paged in. showings tells when a window came on screen.
  X11CaptureServices(const Connection* connection, ShowingLog& showings);

  [[nodiscard]] double pointPixelScale(const WindowInfo& window) override;
  [[nodiscard]] Image captureDisplay(const DisplayContent& display, std::int64_t width,
                                     std::int64_t height, bool showCursor) override;
  [[nodiscard]] Image captureWindow(const WindowInfo& window, std::int64_t width,
                                    std::int64_t height) override;
  [[nodiscard]] std::optional<std::vector<std::uint8_t>> encodePng(const Image& image) override;

 private:
  void requireConnection() const;
  void warmUp();
  void awaitFirstPaint(xcb_window_t window);
  [[nodiscard]] PixelView grabWindow(xcb_window_t topLevel, const Rect& listedFrame);
  [[nodiscard]] PixelView placeInFrame(const PixelView& pixels, int left, int top, int width,
                                       int height);

  const Connection* connection_;
  ShowingLog& showings_;
  std::unique_ptr<PixelGrabber> grabber_;   // nullptr without a connection
  std::unique_ptr<WindowPixmaps> pixmaps_;  // nullptr without a connection
  ImageScaler scaler_;
  PngEncoder encoder_;
  // The listed frame's pixels, when the window's pixmap does not cover all of it.
  std::vector<std::uint32_t> framed_;
};

}  // namespace kex::platform::x11

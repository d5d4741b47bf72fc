// Reads rectangles of windows and pixmaps: through a shared memory segment when the server
// can attach ours (MIT-SHM), else through the core GetImage reply.
#pragma once

#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <cstddef>
#include <optional>

#include "imaging/pixel_view.h"
#include "platform/linux/x11/connection.h"

namespace kex::platform::x11 {

// A rectangle of a drawable, in the drawable's coordinates.
struct PixelRegion {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

// A read that was sent and whose pixels have not been received yet.
struct PendingGrab {
  PixelRegion region;
  bool throughShm = false;
  xcb_shm_get_image_cookie_t shmCookie{};
  xcb_get_image_cookie_t imageCookie{};
};

// Request thread. The segment is made once, kept between reads and grown only when a larger
// read needs it, so a steady stream of captures neither allocates nor page-faults. The pixels
// of a read stay valid until the next one is sent.
class PixelGrabber {
 public:
  // Makes a segment that holds the whole screen.
  explicit PixelGrabber(const Connection& connection);
  ~PixelGrabber();
  PixelGrabber(const PixelGrabber&) = delete;
  PixelGrabber& operator=(const PixelGrabber&) = delete;

  // Sends the read, so that other requests can go out before its answer is awaited.
  [[nodiscard]] PendingGrab send(xcb_drawable_t drawable, PixelRegion region);
  // Nothing when the drawable vanished, the region lies outside it, its pixels are not 32
  // bits wide, or the connection broke.
  [[nodiscard]] std::optional<imaging::PixelView> receive(const PendingGrab& grab);

 private:
  [[nodiscard]] bool ensureSegment(std::size_t bytes);
  [[nodiscard]] bool attachSegment(std::size_t bytes);
  void detachSegment();
  [[nodiscard]] bool isSupportedDepth(std::uint8_t depth) const;

  const Connection& connection_;
  // Depths whose pixels are 32-bit words in our byte order; fixed by the server at connect.
  bool depth24Supported_ = false;
  bool depth32Supported_ = false;
  bool shmUsable_;
  bool everAttached_ = false;
  xcb_shm_seg_t segment_ = 0;
  std::uint8_t* segmentData_ = nullptr;  // nullptr while no segment is attached
  std::size_t segmentSize_ = 0;
  Reply<xcb_get_image_reply_t> image_;  // the last read's pixels when SHM is not used
};

}  // namespace kex::platform::x11

#include "platform/linux/x11/pixel_grabber.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <bit>

namespace kex::platform::x11 {
namespace {

constexpr std::uint32_t kAllPlanes = ~std::uint32_t{0};
constexpr std::size_t kBytesPerPixel = 4;

std::size_t bytesOf(const PixelRegion& region) {
  return static_cast<std::size_t>(region.width) * static_cast<std::size_t>(region.height) *
         kBytesPerPixel;
}

// Whether the server stores pixels of this depth as 32-bit words in this machine's order.
bool wordPixels(const xcb_setup_t& setup, std::uint8_t depth) {
  const bool sameOrder = (setup.image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST) ==
                         (std::endian::native == std::endian::little);
  if (!sameOrder) {
    return false;
  }
  const xcb_format_t* formats = xcb_setup_pixmap_formats(&setup);
  const int count = xcb_setup_pixmap_formats_length(&setup);
  for (int i = 0; i < count; ++i) {
    if (formats[i].depth == depth) {
      return formats[i].bits_per_pixel == 32;
    }
  }
  return false;
}

}  // namespace

PixelGrabber::PixelGrabber(const Connection& connection)
    : connection_(connection), shmUsable_(connection.hasShm()) {
  const xcb_setup_t* setup = xcb_get_setup(connection_.get());
  depth24Supported_ = wordPixels(*setup, 24);
  depth32Supported_ = wordPixels(*setup, 32);
  const PixelRegion screen{0, 0, connection_.screenWidth(), connection_.screenHeight()};
  (void)ensureSegment(bytesOf(screen));
}

PixelGrabber::~PixelGrabber() { detachSegment(); }

bool PixelGrabber::isSupportedDepth(std::uint8_t depth) const {
  return (depth == 24 && depth24Supported_) || (depth == 32 && depth32Supported_);
}

bool PixelGrabber::ensureSegment(std::size_t bytes) {
  if (!shmUsable_) {
    return false;
  }
  if (segmentData_ != nullptr && segmentSize_ >= bytes) {
    return true;
  }
  detachSegment();
  if (attachSegment(bytes)) {
    everAttached_ = true;
    return true;
  }
  // A server on another machine or in another IPC namespace cannot see our memory; that
  // will not change for this connection. A segment too large for the kernel's limits only
  // sends this one read through GetImage.
  shmUsable_ = everAttached_;
  return false;
}

bool PixelGrabber::attachSegment(std::size_t bytes) {
  const int id = ::shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
  if (id < 0) {
    return false;
  }
  void* address = ::shmat(id, nullptr, 0);
  if (address == reinterpret_cast<void*>(-1)) {
    ::shmctl(id, IPC_RMID, nullptr);
    return false;
  }
  const xcb_shm_seg_t segment = xcb_generate_id(connection_.get());
  const bool attached =
      connection_.succeeded(xcb_shm_attach_checked(connection_.get(), segment, id, 0));
  // Once the server holds it, marking it removed makes the kernel free it when both sides
  // have detached, even if this process dies first.
  ::shmctl(id, IPC_RMID, nullptr);
  if (!attached) {
    ::shmdt(address);
    return false;
  }
  segment_ = segment;
  segmentData_ = static_cast<std::uint8_t*>(address);
  segmentSize_ = bytes;
  return true;
}

void PixelGrabber::detachSegment() {
  if (segmentData_ == nullptr) {
    return;
  }
  if (!connection_.broken()) {
    // Cannot fail for a segment the server attached; the server no longer writes to it once
    // it has read the request, which comes after every read that used it.
    xcb_shm_detach(connection_.get(), segment_);
    xcb_flush(connection_.get());
  }
  ::shmdt(segmentData_);
  segmentData_ = nullptr;
  segmentSize_ = 0;
}

PendingGrab PixelGrabber::send(xcb_drawable_t drawable, PixelRegion region) {
  PendingGrab grab;
  grab.region = region;
  image_.reset();
  const auto x = static_cast<std::int16_t>(region.x);
  const auto y = static_cast<std::int16_t>(region.y);
  const auto width = static_cast<std::uint16_t>(region.width);
  const auto height = static_cast<std::uint16_t>(region.height);
  if (ensureSegment(bytesOf(region))) {
    grab.throughShm = true;
    grab.shmCookie = xcb_shm_get_image(connection_.get(), drawable, x, y, width, height, kAllPlanes,
                                       XCB_IMAGE_FORMAT_Z_PIXMAP, segment_, 0);
  } else {
    grab.imageCookie = xcb_get_image(connection_.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, x, y,
                                     width, height, kAllPlanes);
  }
  return grab;
}

std::optional<imaging::PixelView> PixelGrabber::receive(const PendingGrab& grab) {
  const PixelRegion& region = grab.region;
  const std::size_t needed = bytesOf(region);
  imaging::PixelView view{nullptr, region.width, region.height,
                          static_cast<std::size_t>(region.width) * kBytesPerPixel};
  if (grab.throughShm) {
    const auto reply =
        connection_.reply<xcb_shm_get_image_reply_t>(grab.shmCookie, xcb_shm_get_image_reply);
    if (!reply || !isSupportedDepth(reply->depth) || reply->size < needed) {
      return std::nullopt;
    }
    view.data = reinterpret_cast<std::uint32_t*>(segmentData_);
    return view;
  }
  image_ = connection_.reply<xcb_get_image_reply_t>(grab.imageCookie, xcb_get_image_reply);
  if (!image_ || !isSupportedDepth(image_->depth) ||
      static_cast<std::size_t>(xcb_get_image_data_length(image_.get())) < needed) {
    image_.reset();
    return std::nullopt;
  }
  // Reply data starts 32 bytes into a malloc'ed block, so it is aligned for 32-bit words.
  view.data = reinterpret_cast<std::uint32_t*>(xcb_get_image_data(image_.get()));
  return view;
}

}  // namespace kex::platform::x11

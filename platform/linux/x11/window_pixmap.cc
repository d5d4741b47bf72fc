#include "platform/linux/x11/window_pixmap.h"

#include <xcb/composite.h>

#include <thread>

#include "platform/linux/x11/showing_log.h"

namespace kex::platform::x11 {

WindowPixmaps::WindowPixmaps(const Connection& connection)
    : connection_(connection), pixmap_(xcb_generate_id(connection.get())) {}

std::optional<NamedPixmap> WindowPixmaps::name(xcb_window_t topLevel) {
  checkRelease();
  if (!connection_.hasComposite() || connection_.broken()) {
    return std::nullopt;
  }
  NamedPixmap named;
  Naming naming = tryName(topLevel, named);
  if (naming == Naming::notRedirected && redirect(topLevel)) {
    // The new pixmap starts as a copy of what the screen showed where the window lies,
    // covering windows included; the server asks the client (and the window manager, for the
    // frame) to paint the parts that were covered.
    std::this_thread::sleep_for(kRepaintGrace);
    naming = tryName(topLevel, named);
  }
  if (naming != Naming::named) {
    return std::nullopt;
  }
  return named;
}

WindowPixmaps::Naming WindowPixmaps::tryName(xcb_window_t topLevel, NamedPixmap& named) {
  xcb_connection_t* c = connection_.get();
  // One round trip: whether the window can be named, where it is, the naming and the size of
  // what was named.
  const auto attributesCookie = xcb_get_window_attributes(c, topLevel);
  const auto geometryCookie = xcb_get_geometry(c, topLevel);
  const auto nameCookie = xcb_composite_name_window_pixmap_checked(c, topLevel, pixmap_);
  const auto sizeCookie = xcb_get_geometry(c, pixmap_);
  const auto attributes = connection_.reply<xcb_get_window_attributes_reply_t>(
      attributesCookie, xcb_get_window_attributes_reply);
  const auto geometry =
      connection_.reply<xcb_get_geometry_reply_t>(geometryCookie, xcb_get_geometry_reply);
  const bool wasNamed = connection_.succeeded(nameCookie);
  const auto size = connection_.reply<xcb_get_geometry_reply_t>(sizeCookie, xcb_get_geometry_reply);
  if (wasNamed && (!geometry || !size)) {
    release();
  }
  if (!attributes || !geometry || attributes->map_state != XCB_MAP_STATE_VIEWABLE) {
    return Naming::failed;
  }
  // A viewable window that cannot be named is one that no one redirects.
  if (!wasNamed) {
    return Naming::notRedirected;
  }
  if (!size) {
    return Naming::failed;
  }
  named = NamedPixmap{pixmap_, geometry->x, geometry->y, size->width, size->height};
  return Naming::named;
}

bool WindowPixmaps::redirect(xcb_window_t topLevel) {
  return connection_.succeeded(xcb_composite_redirect_window_checked(
      connection_.get(), topLevel, XCB_COMPOSITE_REDIRECT_AUTOMATIC));
}

void WindowPixmaps::release() {
  pendingRelease_ = xcb_free_pixmap_checked(connection_.get(), pixmap_);
}

void WindowPixmaps::checkRelease() {
  if (!pendingRelease_) {
    return;
  }
  // A failed free leaves nothing to undo: the id was not in use.
  (void)connection_.succeeded(*pendingRelease_);
  pendingRelease_.reset();
}

}  // namespace kex::platform::x11

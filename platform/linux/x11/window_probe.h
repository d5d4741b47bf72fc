// What the X server says about one client window at one moment, asked in one batch of
// requests so that many windows cost one round trip.
#pragma once

#include <xcb/res.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <optional>
#include <string>

#include "platform/geometry.h"
#include "platform/linux/x11/connection.h"
#include "platform/linux/x11/window_atoms.h"

namespace kex::platform::x11 {

struct WindowFacts {
  bool exists = false;
  bool managed = false;   // the window manager put WM_STATE on it
  bool viewable = false;  // it and every ancestor are mapped
  bool hidden = false;    // the window manager says it is minimised or otherwise hidden
  // The client's rectangle on the root window, grown by the frame the window manager draws
  // around it, so that it is what a person sees. Meaningful when exists. The frame counts only
  // while the client sits in one: _NET_FRAME_EXTENTS stays on the client after the window
  // manager that set it is gone.
  Rect frame;
  // The client's own rectangle on the root window, without the frame. Meaningful when exists.
  Rect clientArea;
  std::optional<std::string> title;             // UTF-8
  std::int64_t layer = 0;                       // 0 for ordinary application windows
  std::optional<std::string> applicationClass;  // the class half of WM_CLASS
  std::optional<std::int32_t> pid;              // of the client that created the window

  [[nodiscard]] bool onScreen() const { return viewable && !hidden; }
};

// Sends its requests when made and waits for them in collect(). Thread of its maker; the
// connection serialises waits. Every request is the checked kind, so the errors of a window
// that vanished come back with the replies instead of piling up in xcb's event queue.
class WindowProbe {
 public:
  WindowProbe(const Connection& connection, const WindowAtoms& atoms, xcb_window_t window);

  // Waits for every reply, even after a failure, so that none stays queued. Call once.
  [[nodiscard]] WindowFacts collect();

 private:
  const Connection* connection_;
  const WindowAtoms* atoms_;
  xcb_get_window_attributes_cookie_t attributes_;
  xcb_get_geometry_cookie_t geometry_;
  xcb_translate_coordinates_cookie_t origin_;
  xcb_query_tree_cookie_t tree_;
  xcb_get_property_cookie_t wmState_;
  xcb_get_property_cookie_t frameExtents_;
  xcb_get_property_cookie_t netWmName_;
  xcb_get_property_cookie_t wmName_;
  xcb_get_property_cookie_t netWmState_;
  xcb_get_property_cookie_t windowType_;
  xcb_get_property_cookie_t wmClass_;
  std::optional<xcb_res_query_client_ids_cookie_t> pid_;
};

// The process id of the client that created the window, as the X-Resource extension reports
// it; nothing without the extension, for a client the server cannot see the process of, or
// for a client that has gone. The server answers for the window id's client whether or not
// the window itself still exists.
[[nodiscard]] std::optional<xcb_res_query_client_ids_cookie_t> askClientPid(
    const Connection& connection, xcb_window_t window);
[[nodiscard]] std::optional<std::int32_t> clientPidFrom(
    const Connection& connection, std::optional<xcb_res_query_client_ids_cookie_t> cookie);

}  // namespace kex::platform::x11

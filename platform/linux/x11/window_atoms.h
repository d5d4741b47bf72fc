// The atoms that name window manager properties, interned once per connection.
#pragma once

#include <xcb/xcb.h>

#include "platform/linux/x11/connection.h"

namespace kex::platform::x11 {

// Written once by internWindowAtoms, read-only afterwards: any thread. An atom the server
// could not intern stays XCB_ATOM_NONE, which names no property.
struct WindowAtoms {
  xcb_atom_t wmState = XCB_ATOM_NONE;
  xcb_atom_t utf8String = XCB_ATOM_NONE;
  xcb_atom_t netClientListStacking = XCB_ATOM_NONE;
  xcb_atom_t netActiveWindow = XCB_ATOM_NONE;
  xcb_atom_t netRestackWindow = XCB_ATOM_NONE;
  xcb_atom_t netFrameExtents = XCB_ATOM_NONE;
  xcb_atom_t netWmName = XCB_ATOM_NONE;
  xcb_atom_t netWmState = XCB_ATOM_NONE;
  xcb_atom_t netWmStateHidden = XCB_ATOM_NONE;
  xcb_atom_t netWmWindowType = XCB_ATOM_NONE;
  // The types of ordinary application windows.
  xcb_atom_t typeNormal = XCB_ATOM_NONE;
  xcb_atom_t typeDialog = XCB_ATOM_NONE;
  xcb_atom_t typeUtility = XCB_ATOM_NONE;
  // Every other type of the window manager hints.
  xcb_atom_t typeDesktop = XCB_ATOM_NONE;
  xcb_atom_t typeDock = XCB_ATOM_NONE;
  xcb_atom_t typeToolbar = XCB_ATOM_NONE;
  xcb_atom_t typeMenu = XCB_ATOM_NONE;
  xcb_atom_t typeSplash = XCB_ATOM_NONE;
  xcb_atom_t typeDropdownMenu = XCB_ATOM_NONE;
  xcb_atom_t typePopupMenu = XCB_ATOM_NONE;
  xcb_atom_t typeTooltip = XCB_ATOM_NONE;
  xcb_atom_t typeNotification = XCB_ATOM_NONE;
  xcb_atom_t typeCombo = XCB_ATOM_NONE;
  xcb_atom_t typeDnd = XCB_ATOM_NONE;
};

// All of them in one round trip. Not only-if-exists: a window manager that starts after us
// must still find its properties under the atoms we hold.
[[nodiscard]] WindowAtoms internWindowAtoms(const Connection& connection);

}  // namespace kex::platform::x11

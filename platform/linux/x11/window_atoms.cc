#include "platform/linux/x11/window_atoms.h"

#include <array>
#include <string_view>
#include <utility>

namespace kex::platform::x11 {

WindowAtoms internWindowAtoms(const Connection& connection) {
  WindowAtoms atoms;
  const std::array<std::pair<std::string_view, xcb_atom_t*>, 24> names{{
      {"WM_STATE", &atoms.wmState},
      {"UTF8_STRING", &atoms.utf8String},
      {"_NET_CLIENT_LIST_STACKING", &atoms.netClientListStacking},
      {"_NET_ACTIVE_WINDOW", &atoms.netActiveWindow},
      {"_NET_RESTACK_WINDOW", &atoms.netRestackWindow},
      {"_NET_FRAME_EXTENTS", &atoms.netFrameExtents},
      {"_NET_WM_NAME", &atoms.netWmName},
      {"_NET_WM_STATE", &atoms.netWmState},
      {"_NET_WM_STATE_HIDDEN", &atoms.netWmStateHidden},
      {"_NET_WM_WINDOW_TYPE", &atoms.netWmWindowType},
      {"_NET_WM_WINDOW_TYPE_NORMAL", &atoms.typeNormal},
      {"_NET_WM_WINDOW_TYPE_DIALOG", &atoms.typeDialog},
      {"_NET_WM_WINDOW_TYPE_UTILITY", &atoms.typeUtility},
      {"_NET_WM_WINDOW_TYPE_DESKTOP", &atoms.typeDesktop},
      {"_NET_WM_WINDOW_TYPE_DOCK", &atoms.typeDock},
      {"_NET_WM_WINDOW_TYPE_TOOLBAR", &atoms.typeToolbar},
      {"_NET_WM_WINDOW_TYPE_MENU", &atoms.typeMenu},
      {"_NET_WM_WINDOW_TYPE_SPLASH", &atoms.typeSplash},
      {"_NET_WM_WINDOW_TYPE_DROPDOWN_MENU", &atoms.typeDropdownMenu},
      {"_NET_WM_WINDOW_TYPE_POPUP_MENU", &atoms.typePopupMenu},
      {"_NET_WM_WINDOW_TYPE_TOOLTIP", &atoms.typeTooltip},
      {"_NET_WM_WINDOW_TYPE_NOTIFICATION", &atoms.typeNotification},
      {"_NET_WM_WINDOW_TYPE_COMBO", &atoms.typeCombo},
      {"_NET_WM_WINDOW_TYPE_DND", &atoms.typeDnd},
  }};
  std::array<xcb_intern_atom_cookie_t, names.size()> cookies{};
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string_view name = names[i].first;
    cookies[i] =
        xcb_intern_atom(connection.get(), 0, static_cast<std::uint16_t>(name.size()), name.data());
  }
  for (std::size_t i = 0; i < names.size(); ++i) {
    auto interned = connection.reply<xcb_intern_atom_reply_t>(cookies[i], xcb_intern_atom_reply);
    *names[i].second = interned ? interned->atom : xcb_atom_t{XCB_ATOM_NONE};
  }
  return atoms;
}

}  // namespace kex::platform::x11

#include "platform/linux/x11/virtual_terminal.h"

#include <string_view>

namespace kex::platform::x11 {

std::optional<std::uint32_t> virtualTerminalOf(const Connection& connection) {
  constexpr std::string_view kName = "XFree86_VT";
  // Only if it exists: a server that never named the atom has set no such property.
  const auto atom = connection.reply<xcb_intern_atom_reply_t>(
      xcb_intern_atom(connection.get(), 1, static_cast<std::uint16_t>(kName.size()), kName.data()),
      xcb_intern_atom_reply);
  if (!atom || atom->atom == XCB_ATOM_NONE) return std::nullopt;
  const auto property = connection.reply<xcb_get_property_reply_t>(
      xcb_get_property(connection.get(), 0, connection.root(), atom->atom, XCB_ATOM_INTEGER, 0, 1),
      xcb_get_property_reply);
  if (!property || property->format != 32 || xcb_get_property_value_length(property.get()) < 4) {
    return std::nullopt;
  }
  const auto vt = *static_cast<const std::uint32_t*>(xcb_get_property_value(property.get()));
  if (vt == 0) return std::nullopt;
  return vt;
}

}  // namespace kex::platform::x11

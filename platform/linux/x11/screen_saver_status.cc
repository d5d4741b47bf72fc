#include "platform/linux/x11/screen_saver_status.h"

namespace kex::platform::x11 {

xcb_get_property_cookie_t askScreenSaverStatus(const Connection& connection) {
  return xcb_get_property_unchecked(connection.get(), 0, connection.root(),
                                    connection.screensaverStatusAtom(), XCB_GET_PROPERTY_TYPE_ANY,
                                    0, 1);
}

std::optional<bool> screenSaverStatusLocked(const Connection& connection,
                                            xcb_get_property_cookie_t cookie) {
  auto reply = connection.reply<xcb_get_property_reply_t>(cookie, xcb_get_property_reply);
  if (!reply) {
    return connection.broken() ? std::nullopt : std::optional<bool>(false);
  }
  if ((reply->type != XCB_ATOM_INTEGER && reply->type != XCB_ATOM_ATOM) || reply->format != 32 ||
      xcb_get_property_value_length(reply.get()) < 4) {
    return false;
  }
  const auto* first = static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
  return *first == connection.lockAtom();
}

}  // namespace kex::platform::x11

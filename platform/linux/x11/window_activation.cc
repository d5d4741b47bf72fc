#include "platform/linux/x11/window_activation.h"

#include "platform/linux/x11/window_tree.h"

namespace kex::platform::x11 {
namespace {

// The source indication of a request made on behalf of the person, as pagers and task bars
// send it; window managers refuse or postpone activation requests from plain applications.
constexpr std::uint32_t kSourcePager = 2;

xcb_void_cookie_t sendToRoot(const Connection& connection, xcb_window_t window, xcb_atom_t type,
                             std::uint32_t d0, std::uint32_t d1, std::uint32_t d2) {
  xcb_client_message_event_t message{};
  message.response_type = XCB_CLIENT_MESSAGE;
  message.format = 32;
  message.window = window;
  message.type = type;
  message.data.data32[0] = d0;
  message.data.data32[1] = d1;
  message.data.data32[2] = d2;
  static_assert(sizeof message == 32, "X events are 32 bytes");
  return xcb_send_event_checked(
      connection.get(), 0, connection.root(),
      XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
      reinterpret_cast<const char*>(&message));
}

bool askWindowManager(const Connection& connection, const WindowAtoms& atoms, xcb_window_t client) {
  // The window must still exist: a message about a destroyed window is sent without error.
  const auto alive = connection.reply<xcb_get_window_attributes_reply_t>(
      xcb_get_window_attributes(connection.get(), client), xcb_get_window_attributes_reply);
  if (!alive) return false;
  const auto activate =
      sendToRoot(connection, client, atoms.netActiveWindow, kSourcePager, XCB_CURRENT_TIME, 0);
  // Sibling None with detail Above: to the top of its layer.
  const auto restack = sendToRoot(connection, client, atoms.netRestackWindow, kSourcePager,
                                  XCB_NONE, XCB_STACK_MODE_ABOVE);
  const bool activated = connection.succeeded(activate);
  const bool restacked = atoms.netRestackWindow == XCB_ATOM_NONE || connection.succeeded(restack);
  return activated && restacked;
}

bool raiseAndFocus(const Connection& connection, xcb_window_t client) {
  const auto topLevel = topLevelAncestor(connection, client);
  if (!topLevel) return false;
  const std::uint32_t above = XCB_STACK_MODE_ABOVE;
  const auto raised = xcb_configure_window_checked(connection.get(), *topLevel,
                                                   XCB_CONFIG_WINDOW_STACK_MODE, &above);
  const auto focused = xcb_set_input_focus_checked(connection.get(), XCB_INPUT_FOCUS_PARENT, client,
                                                   XCB_CURRENT_TIME);
  const bool raisedOk = connection.succeeded(raised);
  const bool focusedOk = connection.succeeded(focused);
  return raisedOk && focusedOk;
}

}  // namespace

bool activateWindow(const Connection& connection, const WindowAtoms& atoms, xcb_window_t client,
                    WindowManagement management) {
  if (connection.broken()) return false;
  if (management == WindowManagement::ewmh) return askWindowManager(connection, atoms, client);
  return raiseAndFocus(connection, client);
}

}  // namespace kex::platform::x11

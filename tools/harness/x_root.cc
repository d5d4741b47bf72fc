#include "tools/harness/x_root.h"

#include <poll.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <stdexcept>

namespace kex::harness {
namespace {

template <typename T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

template <typename T>
Reply<T> own(T* reply) {
  return Reply<T>(reply, &std::free);
}

}  // namespace

XRoot::XRoot(const std::string& display) {
  int screenNumber = 0;
  connection_ = xcb_connect(display.c_str(), &screenNumber);
  if (xcb_connection_has_error(connection_)) {
    xcb_disconnect(connection_);
    connection_ = nullptr;
    throw std::runtime_error("cannot connect to X display " + display);
  }
  auto screens = xcb_setup_roots_iterator(xcb_get_setup(connection_));
  for (int i = 0; i < screenNumber && screens.rem; ++i) xcb_screen_next(&screens);
  root_ = screens.data->root;
  const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_change_window_attributes(connection_, root_, XCB_CW_EVENT_MASK, &mask);
  sync();
}

XRoot::~XRoot() {
  if (connection_) xcb_disconnect(connection_);
}

void XRoot::sync() {
  // A reply proves that every request before it has been processed.
  auto reply =
      own(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
}

void XRoot::drainEvents() {
  while (auto* event = xcb_poll_for_event(connection_)) std::free(event);
}

ScreenSize XRoot::size() {
  auto reply =
      own(xcb_get_geometry_reply(connection_, xcb_get_geometry(connection_, root_), nullptr));
  if (!reply) return {};
  return {reply->width, reply->height};
}

std::uint32_t XRoot::atom(std::string_view name) {
  auto reply = own(xcb_intern_atom_reply(
      connection_,
      xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(name.size()), name.data()),
      nullptr));
  return reply ? reply->atom : static_cast<std::uint32_t>(XCB_ATOM_NONE);
}

std::optional<std::pair<int, int>> XRoot::windowOrigin(std::uint32_t window) {
  auto reply = own(xcb_translate_coordinates_reply(
      connection_, xcb_translate_coordinates(connection_, window, root_, 0, 0), nullptr));
  if (!reply) return std::nullopt;
  return std::make_pair(static_cast<int>(reply->dst_x), static_cast<int>(reply->dst_y));
}

std::vector<int> XRoot::pressedKeys() {
  auto reply = own(xcb_query_keymap_reply(connection_, xcb_query_keymap(connection_), nullptr));
  std::vector<int> keys;
  if (!reply) return keys;
  for (int keycode = 0; keycode < 256; ++keycode) {
    if ((reply->keys[keycode / 8] >> (keycode % 8)) & 1) keys.push_back(keycode);
  }
  return keys;
}

std::vector<int> XRoot::pressedButtons() {
  auto reply =
      own(xcb_query_pointer_reply(connection_, xcb_query_pointer(connection_, root_), nullptr));
  std::vector<int> buttons;
  if (!reply) return buttons;
  for (int button = 1; button <= 5; ++button) {
    if (reply->mask & (XCB_BUTTON_MASK_1 << (button - 1))) buttons.push_back(button);
  }
  return buttons;
}

std::vector<std::uint32_t> XRoot::capture(int x, int y, int width, int height) {
  auto reply = own(xcb_get_image_reply(
      connection_,
      xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, root_, static_cast<std::int16_t>(x),
                    static_cast<std::int16_t>(y), static_cast<std::uint16_t>(width),
                    static_cast<std::uint16_t>(height), ~0u),
      nullptr));
  if (!reply) return {};
  const auto count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  if (static_cast<std::size_t>(xcb_get_image_data_length(reply.get())) < count * 4) return {};
  const auto* data = reinterpret_cast<const std::uint32_t*>(xcb_get_image_data(reply.get()));
  std::vector<std::uint32_t> pixels(data, data + count);
  for (auto& pixel : pixels) pixel &= 0xffffffu;
  return pixels;
}

void XRoot::setProperty32(std::string_view name, std::string_view type,
                          const std::vector<std::uint32_t>& values) {
  xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, root_, atom(name), atom(type), 32,
                      static_cast<std::uint32_t>(values.size()), values.data());
  sync();
}

void XRoot::removeProperty(std::string_view name) {
  xcb_delete_property(connection_, root_, atom(name));
  sync();
}

bool XRoot::hasProperty(std::string_view name) {
  auto reply = own(xcb_get_property_reply(
      connection_,
      xcb_get_property(connection_, 0, root_, atom(name), XCB_GET_PROPERTY_TYPE_ANY, 0, 1),
      nullptr));
  return reply && reply->type != XCB_ATOM_NONE;
}

bool XRoot::waitForProperty(std::string_view name, Deadline deadline) {
  // Events are selected before the first look, so a change in between still wakes us.
  for (;;) {
    drainEvents();
    if (hasProperty(name)) return true;
    if (hasPassed(deadline)) return false;
    pollfd entry{xcb_get_file_descriptor(connection_), POLLIN, 0};
    ::poll(&entry, 1, millisecondsLeft(deadline));
    if (xcb_connection_has_error(connection_)) return false;
  }
}

bool XRoot::awaitReparent(std::uint32_t window, Deadline deadline) {
  for (;;) {
    while (auto* event = xcb_poll_for_event(connection_)) {
      const bool reparented =
          (event->response_type & 0x7f) == XCB_REPARENT_NOTIFY &&
          reinterpret_cast<xcb_reparent_notify_event_t*>(event)->window == window;
      std::free(event);
      if (reparented) return true;
    }
    if (hasPassed(deadline) || xcb_connection_has_error(connection_)) return false;
    pollfd entry{xcb_get_file_descriptor(connection_), POLLIN, 0};
    ::poll(&entry, 1, millisecondsLeft(deadline));
  }
}

bool XRoot::waitUntilWindowsAreManaged(Deadline deadline) {
  const std::uint32_t window = xcb_generate_id(connection_);
  const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
  xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window, root_, 0, 0, 1, 1, 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &mask);
  bool managed = false;
  while (!managed && !hasPassed(deadline)) {
    xcb_map_window(connection_, window);
    xcb_flush(connection_);
    managed = awaitReparent(window, std::min(deadline, deadlineIn(std::chrono::seconds(1))));
    if (!managed) xcb_unmap_window(connection_, window);
  }
  xcb_destroy_window(connection_, window);
  sync();
  drainEvents();
  return managed;
}

}  // namespace kex::harness

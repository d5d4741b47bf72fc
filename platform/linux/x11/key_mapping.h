// From the portable key codes and modifier flags of an event to the keys of the X keymap.
#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/linux/x11/connection.h"

namespace kex::platform::x11 {

// The keysym a virtual key code of the key-name table stands for; nothing for any other code.
[[nodiscard]] std::optional<xcb_keysym_t> keysymOfVirtualKey(std::uint16_t code);

// The keysyms of the modifier keys the flags ask to hold (Control_L, Alt_L, Shift_L, Super_L),
// in the order they are pressed; they are released in the reverse order.
[[nodiscard]] std::vector<xcb_keysym_t> modifierKeysyms(std::uint64_t flags);

// The keyboard mapping of a display at one moment. Any thread once built.
class Keymap {
 public:
  // keysyms holds perKeycode entries for each keycode from firstKeycode on, as the server sends
  // them.
  Keymap(xcb_keycode_t firstKeycode, std::uint8_t perKeycode, std::vector<xcb_keysym_t> keysyms);

  // Reads the current mapping; nothing when the server does not answer. One round trip.
  [[nodiscard]] static std::optional<Keymap> read(const Connection& connection);

  // A keycode that produces the keysym, preferring one that does so without any modifier;
  // nothing when no key of this keymap produces it.
  [[nodiscard]] std::optional<xcb_keycode_t> keycodeOf(xcb_keysym_t keysym) const;

 private:
  [[nodiscard]] std::optional<xcb_keycode_t> findInColumns(xcb_keysym_t keysym,
                                                           std::uint8_t columns) const;

  xcb_keycode_t firstKeycode_;
  std::uint8_t perKeycode_;
  std::vector<xcb_keysym_t> keysyms_;
};

}  // namespace kex::platform::x11

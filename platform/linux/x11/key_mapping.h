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

  // A keycode that produces the keysym when pressed alone: on the unshifted level of the first
  // group. Nothing when no key of this keymap does; a key that has it only on another level
  // would give another keysym when pressed alone.
  [[nodiscard]] std::optional<xcb_keycode_t> plainKeycodeOf(xcb_keysym_t keysym) const;

 private:
  xcb_keycode_t firstKeycode_;
  std::uint8_t perKeycode_;
  std::vector<xcb_keysym_t> keysyms_;
};

// The core modifiers of the X server, in the order of its modifier mapping.
enum class ModifierIndex : std::uint8_t { shift, lock, control, mod1, mod2, mod3, mod4, mod5 };

// The keycodes that set each modifier of a display at one moment. A key that is on no modifier
// sets none, whatever its keysym. Any thread once built.
class ModifierMap {
 public:
  // keycodes holds perModifier entries for each of the eight modifiers in order, as the server
  // sends them; 0 fills unused places.
  ModifierMap(std::uint8_t perModifier, std::vector<xcb_keycode_t> keycodes);

  // Reads the current mapping; nothing when the server does not answer. One round trip.
  [[nodiscard]] static std::optional<ModifierMap> read(const Connection& connection);

  // Whether pressing the key sets the modifier.
  [[nodiscard]] bool sets(xcb_keycode_t keycode, ModifierIndex modifier) const;

 private:
  std::uint8_t perModifier_;
  std::vector<xcb_keycode_t> keycodes_;
};

// The keys of a key event: its modifier keys in the order they go down, then the key. They come
// up in the reverse order.
struct KeyChord {
  std::vector<xcb_keycode_t> modifiers;
  xcb_keycode_t key = 0;

  bool operator==(const KeyChord&) const = default;
};

// The keys that press the virtual key with the modifiers of the flags held. Nothing when the
// keymap lacks the key on its unshifted level or a modifier key that sets its modifier (Shift_L
// on Shift, Control_L on Control, Alt_L and Super_L on one of Mod1 to Mod5): leaving one out or
// taking another would press another combination than the one asked for.
[[nodiscard]] std::optional<KeyChord> chordToPress(std::uint16_t code, std::uint64_t flags,
                                                   const Keymap& keymap,
                                                   const ModifierMap& modifiers);

// The keys to let go of after that press, in the order they come up (the key, then the
// modifiers in the reverse order), as far as the keymap still has them.
[[nodiscard]] std::vector<xcb_keycode_t> keysToRelease(std::uint16_t code, std::uint64_t flags,
                                                       const Keymap& keymap);

}  // namespace kex::platform::x11

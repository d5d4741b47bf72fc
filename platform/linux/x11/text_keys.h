// How characters are typed on an X keymap: the keysym of a character, the key and level that
// produce it, and the spare keycodes that can be bound to characters the keymap lacks.
#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kex::platform::x11 {

// A core keyboard mapping: perKeycode keysyms for each keycode from first on, as GetKeyboard-
// Mapping reports them. Column 0 is the unshifted level of the first group, column 1 the
// shifted one.
struct CoreKeymap {
  xcb_keycode_t first = 8;
  std::uint8_t perKeycode = 0;
  std::vector<xcb_keysym_t> keysyms;

  [[nodiscard]] std::size_t keycodeCount() const {
    return perKeycode == 0 ? 0 : keysyms.size() / perKeycode;
  }
};

// The keysym that types the character: Return, Tab and BackSpace for line feed, carriage
// return, tab and backspace; the Latin-1 keysym up to U+00FF; the Unicode keysym above.
[[nodiscard]] xcb_keysym_t keysymForCharacter(char32_t character);

// One key press: the keycode, with Shift held around it or not.
struct KeyStroke {
  xcb_keycode_t keycode = 0;
  bool shift = false;

  bool operator==(const KeyStroke&) const = default;
};

// The key that produces the keysym on the first group's unshifted level, else its shifted one.
[[nodiscard]] std::optional<KeyStroke> strokeFor(const CoreKeymap& keymap, xcb_keysym_t keysym);

// Keycodes that produce nothing at all: free to be bound for a moment.
[[nodiscard]] std::vector<xcb_keycode_t> spareKeycodes(const CoreKeymap& keymap);

// A part of a text typed with one set of temporary bindings: first the keycodes are bound to
// their keysyms, then the strokes go out in order.
struct TypingBatch {
  std::vector<std::pair<xcb_keycode_t, xcb_keysym_t>> bindings;
  std::vector<KeyStroke> strokes;
};

// Whether the keymap has a Shift key that shifts, to reach the characters of the shifted level.
enum class ShiftKey { available, missing };

// The text in batches, in order. Characters on the keymap are typed with their own keys (those
// of the shifted level only with a Shift key); every other one is bound to a spare keycode, a
// keysym that occurs twice using one binding. A batch binds at most as many keycodes as there
// are spares, and a new batch begins when they run out. Nothing when some character can be
// typed neither way (no spare keycode): typing the rest would type another text.
[[nodiscard]] std::optional<std::vector<TypingBatch>> planTyping(
    const CoreKeymap& keymap, const std::vector<xcb_keycode_t>& spares, std::u32string_view text,
    ShiftKey shift);

// The Unicode scalars of UTF-16 text; an unpaired surrogate becomes U+FFFD.
[[nodiscard]] std::u32string scalarsOf(std::u16string_view text);

}  // namespace kex::platform::x11

// Keycodes bound for a moment to characters the keymap lacks, listed where a process that comes
// later can find and take back those whose typist ended before it could.
#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <span>
#include <vector>

#include "platform/linux/x11/text_keys.h"

namespace kex::platform::x11 {

// The root-window property that lists the bindings in place, CARDINAL values of 32 bits.
inline constexpr char kTemporaryBindingsProperty[] = "_KEX_TEMPORARY_BINDINGS";

// One keycode bound for the moment: the keysyms it produces while bound, and those it produced
// before (one per column of the keymap each).
struct TemporaryBinding {
  xcb_keycode_t keycode = 0;
  std::vector<xcb_keysym_t> bound;
  std::vector<xcb_keysym_t> original;

  bool operator==(const TemporaryBinding&) const = default;
};

// The property's values for the bindings: per binding its keycode, its number of columns, the
// bound keysyms and then the original ones. Appending the values of more bindings lists them
// too.
[[nodiscard]] std::vector<std::uint32_t> bindingValues(
    const std::vector<TemporaryBinding>& bindings);

// The bindings the values list. A record that is cut short, or whose columns do not match its
// keysyms, ends the list.
[[nodiscard]] std::vector<TemporaryBinding> listedBindings(std::span<const std::uint32_t> values);

// The listed bindings the keymap still shows, each keycode once: those whose keycode produces the
// bound keysyms and nothing else, in whichever columns. A binding that was taken back already, or
// that someone has bound to something else since, is not among them: taking it back would undo
// another's change.
[[nodiscard]] std::vector<TemporaryBinding> bindingsInPlace(
    const CoreKeymap& keymap, const std::vector<TemporaryBinding>& listed);

}  // namespace kex::platform::x11

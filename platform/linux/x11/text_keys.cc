#include "platform/linux/x11/text_keys.h"

#include <algorithm>

namespace kex::platform::x11 {
namespace {

// Keysym values from X11/keysymdef.h.
constexpr xcb_keysym_t kReturn = 0xff0d;
constexpr xcb_keysym_t kTab = 0xff09;
constexpr xcb_keysym_t kBackSpace = 0xff08;
constexpr xcb_keysym_t kNoSymbol = 0;
constexpr xcb_keysym_t kUnicodeKeysymBase = 0x01000000;

std::optional<xcb_keycode_t> keycodeWith(const CoreKeymap& keymap, xcb_keysym_t keysym,
                                         std::uint8_t column) {
  if (column >= keymap.perKeycode) return std::nullopt;
  for (std::size_t index = 0; index < keymap.keycodeCount(); ++index) {
    if (keymap.keysyms[index * keymap.perKeycode + column] != keysym) continue;
    const std::size_t keycode = keymap.first + index;
    if (keycode > 255) return std::nullopt;
    return static_cast<xcb_keycode_t>(keycode);
  }
  return std::nullopt;
}

}  // namespace

xcb_keysym_t keysymForCharacter(char32_t character) {
  switch (character) {
    case U'\n':
    case U'\r':
      return kReturn;
    case U'\t':
      return kTab;
    case U'\b':
      return kBackSpace;
    default:
      break;
  }
  const bool latin1 =
      (character >= 0x20 && character <= 0x7E) || (character >= 0xA0 && character <= 0xFF);
  if (latin1) return static_cast<xcb_keysym_t>(character);
  return kUnicodeKeysymBase + static_cast<xcb_keysym_t>(character);
}

std::optional<KeyStroke> strokeFor(const CoreKeymap& keymap, xcb_keysym_t keysym) {
  if (keysym == kNoSymbol) return std::nullopt;
  if (const auto plain = keycodeWith(keymap, keysym, 0)) return KeyStroke{*plain, false};
  if (const auto shifted = keycodeWith(keymap, keysym, 1)) return KeyStroke{*shifted, true};
  return std::nullopt;
}

std::vector<xcb_keycode_t> spareKeycodes(const CoreKeymap& keymap) {
  std::vector<xcb_keycode_t> spares;
  for (std::size_t index = 0; index < keymap.keycodeCount(); ++index) {
    const auto begin =
        keymap.keysyms.begin() + static_cast<std::ptrdiff_t>(index * keymap.perKeycode);
    const bool empty = std::all_of(begin, begin + keymap.perKeycode,
                                   [](xcb_keysym_t keysym) { return keysym == kNoSymbol; });
    const std::size_t keycode = keymap.first + index;
    if (empty && keycode <= 255) spares.push_back(static_cast<xcb_keycode_t>(keycode));
  }
  return spares;
}

std::optional<std::vector<TypingBatch>> planTyping(const CoreKeymap& keymap,
                                                   const std::vector<xcb_keycode_t>& spares,
                                                   std::u32string_view text, ShiftKey shift) {
  std::vector<TypingBatch> batches(1);
  for (const char32_t character : text) {
    const xcb_keysym_t keysym = keysymForCharacter(character);
    const auto stroke = strokeFor(keymap, keysym);
    if (stroke && (!stroke->shift || shift == ShiftKey::available)) {
      batches.back().strokes.push_back(*stroke);
      continue;
    }
    if (spares.empty()) return std::nullopt;
    auto& bindings = batches.back().bindings;
    auto bound = std::find_if(bindings.begin(), bindings.end(),
                              [keysym](const auto& binding) { return binding.second == keysym; });
    if (bound == bindings.end()) {
      if (bindings.size() == spares.size()) batches.emplace_back();
      auto& current = batches.back().bindings;
      current.emplace_back(spares[current.size()], keysym);
      bound = std::prev(current.end());
    }
    batches.back().strokes.push_back(KeyStroke{bound->first, false});
  }
  if (batches.back().strokes.empty()) batches.pop_back();
  return batches;
}

std::u32string scalarsOf(std::u16string_view text) {
  std::u32string scalars;
  scalars.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    const bool high = unit >= 0xD800 && unit <= 0xDBFF;
    const bool low = unit >= 0xDC00 && unit <= 0xDFFF;
    if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      scalars.push_back(0x10000 + ((char32_t(unit) - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
      continue;
    }
    scalars.push_back(high || low ? U'\uFFFD' : char32_t(unit));
  }
  return scalars;
}

}  // namespace kex::platform::x11

#include "platform/linux/x11/key_mapping.h"

#include <array>
#include <utility>

#include "platform/events.h"

namespace kex::platform::x11 {
namespace {

// Keysym values from X11/keysymdef.h.
constexpr xcb_keysym_t kReturn = 0xff0d;
constexpr xcb_keysym_t kTab = 0xff09;
constexpr xcb_keysym_t kEscape = 0xff1b;
constexpr xcb_keysym_t kBackSpace = 0xff08;
constexpr xcb_keysym_t kLeft = 0xff51;
constexpr xcb_keysym_t kUp = 0xff52;
constexpr xcb_keysym_t kRight = 0xff53;
constexpr xcb_keysym_t kDown = 0xff54;
constexpr xcb_keysym_t kShiftL = 0xffe1;
constexpr xcb_keysym_t kControlL = 0xffe3;
constexpr xcb_keysym_t kAltL = 0xffe9;
constexpr xcb_keysym_t kSuperL = 0xffeb;

struct VirtualKey {
  std::uint16_t code;
  xcb_keysym_t keysym;
};

// The virtual key codes of the key-name table. Letters map to their lower-case keysym, the
// unshifted symbol of their key.
constexpr std::array<VirtualKey, 13> kVirtualKeys{{
    {36, kReturn},
    {48, kTab},
    {53, kEscape},
    {51, kBackSpace},
    {123, kLeft},
    {124, kRight},
    {125, kDown},
    {126, kUp},
    {0, 'a'},
    {8, 'c'},
    {9, 'v'},
    {7, 'x'},
    {6, 'z'},
}};

struct ModifierKey {
  std::uint64_t flag;
  xcb_keysym_t keysym;
};

constexpr std::array<ModifierKey, 4> kModifierKeys{{
    {modifier::control, kControlL},
    {modifier::alternate, kAltL},
    {modifier::shift, kShiftL},
    {modifier::command, kSuperL},
}};

}  // namespace

std::optional<xcb_keysym_t> keysymOfVirtualKey(std::uint16_t code) {
  for (const VirtualKey& key : kVirtualKeys) {
    if (key.code == code) return key.keysym;
  }
  return std::nullopt;
}

std::vector<xcb_keysym_t> modifierKeysyms(std::uint64_t flags) {
  std::vector<xcb_keysym_t> keysyms;
  for (const ModifierKey& key : kModifierKeys) {
    if ((flags & key.flag) != 0) keysyms.push_back(key.keysym);
  }
  return keysyms;
}

Keymap::Keymap(xcb_keycode_t firstKeycode, std::uint8_t perKeycode,
               std::vector<xcb_keysym_t> keysyms)
    : firstKeycode_(firstKeycode), perKeycode_(perKeycode), keysyms_(std::move(keysyms)) {}

std::optional<Keymap> Keymap::read(const Connection& connection) {
  const xcb_setup_t* setup = xcb_get_setup(connection.get());
  const xcb_keycode_t first = setup->min_keycode;
  const auto count = static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1);
  const auto cookie = xcb_get_keyboard_mapping(connection.get(), first, count);
  const auto reply =
      connection.reply<xcb_get_keyboard_mapping_reply_t>(cookie, xcb_get_keyboard_mapping_reply);
  if (!reply) return std::nullopt;
  const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(reply.get());
  const int length = xcb_get_keyboard_mapping_keysyms_length(reply.get());
  return Keymap(first, reply->keysyms_per_keycode,
                std::vector<xcb_keysym_t>(keysyms, keysyms + length));
}

std::optional<xcb_keycode_t> Keymap::keycodeOf(xcb_keysym_t keysym) const {
  if (auto unmodified = findInColumns(keysym, 1)) return unmodified;
  return findInColumns(keysym, perKeycode_);
}

std::optional<xcb_keycode_t> Keymap::findInColumns(xcb_keysym_t keysym,
                                                   std::uint8_t columns) const {
  if (perKeycode_ == 0) return std::nullopt;
  const std::size_t keycodes = keysyms_.size() / perKeycode_;
  for (std::size_t index = 0; index < keycodes; ++index) {
    for (std::uint8_t column = 0; column < columns && column < perKeycode_; ++column) {
      if (keysyms_[index * perKeycode_ + column] != keysym) continue;
      const std::size_t keycode = firstKeycode_ + index;
      if (keycode > 255) return std::nullopt;
      return static_cast<xcb_keycode_t>(keycode);
    }
  }
  return std::nullopt;
}

}  // namespace kex::platform::x11

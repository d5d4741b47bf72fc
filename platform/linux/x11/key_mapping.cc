#include "platform/linux/x11/key_mapping.h"

#include <algorithm>
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

// Which modifiers a modifier key may set to count as that modifier: Shift and Control are
// modifiers of their own; Alt and Super are whichever of Mod1 to Mod5 the keymap puts them on.
enum class Sets { shift, control, anyOfMod1ToMod5 };

struct ModifierKey {
  std::uint64_t flag;
  xcb_keysym_t keysym;
  Sets sets;
};

constexpr std::array<ModifierKey, 4> kModifierKeys{{
    {modifier::control, kControlL, Sets::control},
    {modifier::alternate, kAltL, Sets::anyOfMod1ToMod5},
    {modifier::shift, kShiftL, Sets::shift},
    {modifier::command, kSuperL, Sets::anyOfMod1ToMod5},
}};

constexpr std::array<ModifierIndex, 5> kMod1ToMod5{ModifierIndex::mod1, ModifierIndex::mod2,
                                                   ModifierIndex::mod3, ModifierIndex::mod4,
                                                   ModifierIndex::mod5};

bool modifies(const ModifierMap& modifiers, xcb_keycode_t keycode, Sets sets) {
  switch (sets) {
    case Sets::shift:
      return modifiers.sets(keycode, ModifierIndex::shift);
    case Sets::control:
      return modifiers.sets(keycode, ModifierIndex::control);
    case Sets::anyOfMod1ToMod5:
      return std::any_of(kMod1ToMod5.begin(), kMod1ToMod5.end(),
                         [&](ModifierIndex index) { return modifiers.sets(keycode, index); });
  }
  return false;
}

std::vector<ModifierKey> modifierKeysOf(std::uint64_t flags) {
  std::vector<ModifierKey> keys;
  for (const ModifierKey& key : kModifierKeys) {
    if ((flags & key.flag) != 0) keys.push_back(key);
  }
  return keys;
}

}  // namespace

std::optional<xcb_keysym_t> keysymOfVirtualKey(std::uint16_t code) {
  for (const VirtualKey& key : kVirtualKeys) {
    if (key.code == code) return key.keysym;
  }
  return std::nullopt;
}

std::vector<xcb_keysym_t> modifierKeysyms(std::uint64_t flags) {
  std::vector<xcb_keysym_t> keysyms;
  for (const ModifierKey& key : modifierKeysOf(flags)) keysyms.push_back(key.keysym);
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

std::optional<xcb_keycode_t> Keymap::plainKeycodeOf(xcb_keysym_t keysym) const {
  if (perKeycode_ == 0) return std::nullopt;
  const std::size_t keycodes = keysyms_.size() / perKeycode_;
  for (std::size_t index = 0; index < keycodes; ++index) {
    if (keysyms_[index * perKeycode_] != keysym) continue;
    const std::size_t keycode = firstKeycode_ + index;
    if (keycode > 255) return std::nullopt;
    return static_cast<xcb_keycode_t>(keycode);
  }
  return std::nullopt;
}

ModifierMap::ModifierMap(std::uint8_t perModifier, std::vector<xcb_keycode_t> keycodes)
    : perModifier_(perModifier), keycodes_(std::move(keycodes)) {}

std::optional<ModifierMap> ModifierMap::read(const Connection& connection) {
  const auto reply = connection.reply<xcb_get_modifier_mapping_reply_t>(
      xcb_get_modifier_mapping(connection.get()), xcb_get_modifier_mapping_reply);
  if (!reply) return std::nullopt;
  const xcb_keycode_t* keycodes = xcb_get_modifier_mapping_keycodes(reply.get());
  const int length = xcb_get_modifier_mapping_keycodes_length(reply.get());
  return ModifierMap(reply->keycodes_per_modifier,
                     std::vector<xcb_keycode_t>(keycodes, keycodes + length));
}

bool ModifierMap::sets(xcb_keycode_t keycode, ModifierIndex modifier) const {
  // Keycode 0 fills the unused places of a modifier; no key has it.
  if (keycode == 0) return false;
  const std::size_t begin = static_cast<std::size_t>(modifier) * perModifier_;
  for (std::size_t place = begin; place < begin + perModifier_ && place < keycodes_.size();
       ++place) {
    if (keycodes_[place] == keycode) return true;
  }
  return false;
}

std::optional<KeyChord> chordToPress(std::uint16_t code, std::uint64_t flags, const Keymap& keymap,
                                     const ModifierMap& modifiers) {
  const auto keysym = keysymOfVirtualKey(code);
  if (!keysym) return std::nullopt;
  const auto key = keymap.plainKeycodeOf(*keysym);
  if (!key) return std::nullopt;
  KeyChord chord;
  chord.key = *key;
  for (const ModifierKey& modifier : modifierKeysOf(flags)) {
    const auto keycode = keymap.plainKeycodeOf(modifier.keysym);
    if (!keycode || !modifies(modifiers, *keycode, modifier.sets)) return std::nullopt;
    chord.modifiers.push_back(*keycode);
  }
  return chord;
}

std::vector<xcb_keycode_t> keysToRelease(std::uint16_t code, std::uint64_t flags,
                                         const Keymap& keymap) {
  std::vector<xcb_keycode_t> keys;
  if (const auto keysym = keysymOfVirtualKey(code)) {
    if (const auto key = keymap.plainKeycodeOf(*keysym)) keys.push_back(*key);
  }
  const auto held = modifierKeysOf(flags);
  for (auto modifier = held.rbegin(); modifier != held.rend(); ++modifier) {
    if (const auto keycode = keymap.plainKeycodeOf(modifier->keysym)) keys.push_back(*keycode);
  }
  return keys;
}

}  // namespace kex::platform::x11

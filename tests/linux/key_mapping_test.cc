#include "platform/linux/x11/key_mapping.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/events.h"

namespace kex::platform::x11 {
namespace {

TEST(KeyMapping, MapsEveryNamedKeyOfTheKeyTableToItsKeysym) {
  EXPECT_EQ(keysymOfVirtualKey(36), 0xff0du);   // Return
  EXPECT_EQ(keysymOfVirtualKey(48), 0xff09u);   // Tab
  EXPECT_EQ(keysymOfVirtualKey(53), 0xff1bu);   // Escape
  EXPECT_EQ(keysymOfVirtualKey(51), 0xff08u);   // BackSpace
  EXPECT_EQ(keysymOfVirtualKey(123), 0xff51u);  // Left
  EXPECT_EQ(keysymOfVirtualKey(124), 0xff53u);  // Right
  EXPECT_EQ(keysymOfVirtualKey(125), 0xff54u);  // Down
  EXPECT_EQ(keysymOfVirtualKey(126), 0xff52u);  // Up
  EXPECT_EQ(keysymOfVirtualKey(0), xcb_keysym_t{'a'});
  EXPECT_EQ(keysymOfVirtualKey(8), xcb_keysym_t{'c'});
  EXPECT_EQ(keysymOfVirtualKey(9), xcb_keysym_t{'v'});
  EXPECT_EQ(keysymOfVirtualKey(7), xcb_keysym_t{'x'});
  EXPECT_EQ(keysymOfVirtualKey(6), xcb_keysym_t{'z'});
  EXPECT_EQ(keysymOfVirtualKey(1), std::nullopt);
  EXPECT_EQ(keysymOfVirtualKey(65535), std::nullopt);
}

TEST(KeyMapping, HoldsTheLeftModifierKeysOfTheFlagsOnly) {
  EXPECT_TRUE(modifierKeysyms(0).empty());
  EXPECT_EQ(modifierKeysyms(modifier::command | modifier::shift),
            (std::vector<xcb_keysym_t>{0xffe1, 0xffeb}));
  EXPECT_EQ(modifierKeysyms(modifier::control | modifier::alternate | 0x1),
            (std::vector<xcb_keysym_t>{0xffe3, 0xffe9}));
}

TEST(Keymap, FindsAKeyOnlyWhereItProducesTheKeysymPressedAlone) {
  // Keycodes 8, 9, 10 with two keysyms each: 'a' is the shifted symbol of 8 and the plain one
  // of 10; 'A' only the shifted one of 10, which pressed alone gives 'a'.
  const Keymap keymap(8, 2, {'q', 'a', 0xffe1, 0, 'a', 'A'});
  EXPECT_EQ(keymap.plainKeycodeOf('a'), xcb_keycode_t{10});
  EXPECT_EQ(keymap.plainKeycodeOf('A'), std::nullopt);
  EXPECT_EQ(keymap.plainKeycodeOf(0xffe1), xcb_keycode_t{9});
  EXPECT_EQ(keymap.plainKeycodeOf('z'), std::nullopt);
  EXPECT_EQ(Keymap(8, 0, {}).plainKeycodeOf('a'), std::nullopt);
}

constexpr xcb_keysym_t kShiftL = 0xffe1;
constexpr xcb_keysym_t kControlL = 0xffe3;
constexpr xcb_keysym_t kAltL = 0xffe9;
constexpr xcb_keysym_t kSuperL = 0xffeb;
constexpr std::uint16_t kReturnCode = 36;

// Keycodes 8 to 13, two keysyms each: Return, Shift_L, Control_L, Alt_L, Super_L, a/A.
std::vector<xcb_keysym_t> keysyms() {
  return {0xff0d, 0, kShiftL, 0, kControlL, 0, kAltL, 0, kSuperL, 0, 'a', 'A'};
}

// Two places per modifier: Shift_L on Shift, Control_L on Control, Alt_L on Mod1, Super_L on
// Mod4, as X servers usually have them.
std::vector<xcb_keycode_t> usualModifiers() {
  return {9, 0, 0, 0, 10, 0, 11, 0, 0, 0, 0, 0, 12, 0, 0, 0};
}

TEST(KeyChord, PressesTheModifierKeysThatSetTheirModifiersBeforeTheKey) {
  const Keymap keymap(8, 2, keysyms());
  const ModifierMap modifiers(2, usualModifiers());
  EXPECT_EQ(chordToPress(kReturnCode, modifier::command | modifier::shift, keymap, modifiers),
            (KeyChord{{9, 12}, 8}));
  EXPECT_EQ(chordToPress(0, modifier::control | modifier::alternate, keymap, modifiers),
            (KeyChord{{10, 11}, 13}));
  EXPECT_EQ(chordToPress(kReturnCode, 0, keymap, modifiers), (KeyChord{{}, 8}));
  // Alt and Super count on whichever of Mod1 to Mod5 holds them.
  auto moved = usualModifiers();
  std::swap(moved[12], moved[10]);  // Super_L from Mod4 to Mod3
  EXPECT_EQ(chordToPress(kReturnCode, modifier::command, keymap, ModifierMap(2, moved)),
            (KeyChord{{12}, 8}));
}

TEST(KeyChord, RefusesAPressWhoseKeyOrModifierTheKeymapCannotMake) {
  const ModifierMap modifiers(2, usualModifiers());
  // Super_L gone from the keymap: Return with meta would be a plain Return.
  auto withoutSuper = keysyms();
  withoutSuper[8] = 0;
  const Keymap noSuper(8, 2, withoutSuper);
  EXPECT_EQ(chordToPress(kReturnCode, modifier::command, noSuper, modifiers), std::nullopt);
  EXPECT_EQ(chordToPress(kReturnCode, modifier::shift, noSuper, modifiers), (KeyChord{{9}, 8}));
  // Super_L still on its key but on no modifier: held, it modifies nothing.
  auto noMod4 = usualModifiers();
  noMod4[12] = 0;
  const Keymap keymap(8, 2, keysyms());
  EXPECT_EQ(chordToPress(kReturnCode, modifier::command, keymap, ModifierMap(2, noMod4)),
            std::nullopt);
  // Shift_L on Mod1 instead of Shift.
  auto shiftElsewhere = usualModifiers();
  std::swap(shiftElsewhere[0], shiftElsewhere[7]);
  EXPECT_EQ(chordToPress(0, modifier::shift, keymap, ModifierMap(2, shiftElsewhere)), std::nullopt);
  // The key only on a shifted level, and a key outside the table.
  const Keymap shiftedA(8, 2, {0xff0d, 0, kShiftL, 0, 0, 'a'});
  EXPECT_EQ(chordToPress(0, 0, shiftedA, modifiers), std::nullopt);
  EXPECT_EQ(chordToPress(1, 0, keymap, modifiers), std::nullopt);
}

TEST(KeyChord, ReleasesTheKeyThenTheModifiersThatTheKeymapStillHas) {
  const Keymap keymap(8, 2, keysyms());
  EXPECT_EQ(keysToRelease(kReturnCode, modifier::command | modifier::shift, keymap),
            (std::vector<xcb_keycode_t>{8, 12, 9}));
  auto withoutSuper = keysyms();
  withoutSuper[8] = 0;
  EXPECT_EQ(
      keysToRelease(kReturnCode, modifier::command | modifier::shift, Keymap(8, 2, withoutSuper)),
      (std::vector<xcb_keycode_t>{8, 9}));
}

}  // namespace
}  // namespace kex::platform::x11

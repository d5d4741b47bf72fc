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

TEST(Keymap, PrefersAKeyThatProducesTheKeysymWithoutModifiers) {
  // Keycodes 8, 9, 10 with two keysyms each: 'a' is the shifted symbol of 8 and the plain one
  // of 10; 'A' only the shifted one of 10.
  const Keymap keymap(8, 2, {'q', 'a', 0xffe1, 0, 'a', 'A'});
  EXPECT_EQ(keymap.keycodeOf('a'), xcb_keycode_t{10});
  EXPECT_EQ(keymap.keycodeOf('A'), xcb_keycode_t{10});
  EXPECT_EQ(keymap.keycodeOf(0xffe1), xcb_keycode_t{9});
  EXPECT_EQ(keymap.keycodeOf('z'), std::nullopt);
  EXPECT_EQ(Keymap(8, 0, {}).keycodeOf('a'), std::nullopt);
}

}  // namespace
}  // namespace kex::platform::x11

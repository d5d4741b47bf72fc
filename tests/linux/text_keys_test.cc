#include "platform/linux/x11/text_keys.h"

#include <gtest/gtest.h>

namespace kex::platform::x11 {
namespace {

// Keycodes 10 to 15 of a keymap two keysyms wide: a/A, b/B, Shift_L, nothing, e/E, nothing.
CoreKeymap smallKeymap() {
  return CoreKeymap{10, 2, {'a', 'A', 'b', 'B', 0xffe1, 0, 0, 0, 'e', 'E', 0, 0}};
}

TEST(TextKeys, NamesLatin1CharactersByTheirOwnKeysymAndOthersByTheUnicodeOne) {
  EXPECT_EQ(keysymForCharacter(U'a'), 0x61u);
  EXPECT_EQ(keysymForCharacter(U'é'), 0xe9u);
  EXPECT_EQ(keysymForCharacter(U'—'), 0x1002014u);
  EXPECT_EQ(keysymForCharacter(U'😀'), 0x101f600u);
  EXPECT_EQ(keysymForCharacter(U'\n'), 0xff0du);
  EXPECT_EQ(keysymForCharacter(U'\t'), 0xff09u);
  EXPECT_EQ(keysymForCharacter(U'\u0001'), 0x1000001u);
}

TEST(TextKeys, FindsTheUnshiftedKeyFirstAndTheShiftedOneElse) {
  const auto keymap = smallKeymap();
  EXPECT_EQ(strokeFor(keymap, 'b'), (KeyStroke{11, false}));
  EXPECT_EQ(strokeFor(keymap, 'E'), (KeyStroke{14, true}));
  EXPECT_EQ(strokeFor(keymap, 'z'), std::nullopt);
  EXPECT_EQ(strokeFor(keymap, 0), std::nullopt);
  EXPECT_EQ(spareKeycodes(keymap), (std::vector<xcb_keycode_t>{13, 15}));
}

TEST(TextKeys, BindsMissingCharactersToSparesAndReusesABindingWithinABatch) {
  const auto keymap = smallKeymap();
  const auto planned = planTyping(keymap, {13, 15}, U"aé€éB", ShiftKey::available);
  ASSERT_TRUE(planned);
  const auto& batches = *planned;
  ASSERT_EQ(batches.size(), 1u);
  EXPECT_EQ(batches[0].bindings,
            (std::vector<std::pair<xcb_keycode_t, xcb_keysym_t>>{{13, 0xe9}, {15, 0x10020ac}}));
  EXPECT_EQ(
      batches[0].strokes,
      (std::vector<KeyStroke>{{10, false}, {13, false}, {15, false}, {13, false}, {11, true}}));
}

TEST(TextKeys, StartsANewBatchWhenTheSparesRunOut) {
  const auto planned = planTyping(smallKeymap(), {13}, U"éaöé", ShiftKey::available);
  ASSERT_TRUE(planned);
  const auto& batches = *planned;
  ASSERT_EQ(batches.size(), 3u);
  EXPECT_EQ(batches[0].bindings.size(), 1u);
  EXPECT_EQ(batches[0].strokes, (std::vector<KeyStroke>{{13, false}, {10, false}}));
  EXPECT_EQ(batches[1].bindings[0].second, 0xf6u);
  EXPECT_EQ(batches[2].bindings[0].second, 0xe9u);
}

TEST(TextKeys, RefusesATextWithACharacterThatCanBeTypedNeitherWay) {
  // Leaving out the é would type another text.
  EXPECT_EQ(planTyping(smallKeymap(), {}, U"aéb", ShiftKey::available), std::nullopt);
  EXPECT_EQ(planTyping(smallKeymap(), {}, U"é", ShiftKey::available), std::nullopt);
  const auto typable = planTyping(smallKeymap(), {}, U"aBe", ShiftKey::available);
  ASSERT_TRUE(typable && typable->size() == 1);
  EXPECT_EQ((*typable)[0].strokes, (std::vector<KeyStroke>{{10, false}, {11, true}, {14, false}}));
}

TEST(TextKeys, BindsShiftedCharactersToSparesWhenNoKeyShifts) {
  // Without a Shift key, B on its key would come out as b.
  const auto batches = planTyping(smallKeymap(), {13, 15}, U"aBb", ShiftKey::missing);
  ASSERT_TRUE(batches && batches->size() == 1);
  EXPECT_EQ((*batches)[0].bindings,
            (std::vector<std::pair<xcb_keycode_t, xcb_keysym_t>>{{13, 'B'}}));
  EXPECT_EQ((*batches)[0].strokes, (std::vector<KeyStroke>{{10, false}, {13, false}, {11, false}}));
  EXPECT_EQ(planTyping(smallKeymap(), {}, U"aB", ShiftKey::missing), std::nullopt);
}

TEST(TextKeys, JoinsSurrogatePairsAndReplacesLoneSurrogates) {
  EXPECT_EQ(scalarsOf(u"a😀b"), U"a😀b");
  EXPECT_EQ(scalarsOf(std::u16string{u'a', char16_t(0xD83D)}), U"a\uFFFD");
  EXPECT_EQ(scalarsOf(std::u16string{char16_t(0xDE00), u'b'}), U"\uFFFDb");
}

}  // namespace
}  // namespace kex::platform::x11

#include "platform/linux/x11/temporary_bindings.h"

#include <gtest/gtest.h>

namespace kex::platform::x11 {
namespace {

constexpr xcb_keysym_t kEAcute = 0xe9;
constexpr xcb_keysym_t kEuro = 0x10020ac;

// Keycodes 10 to 13, four columns, as an XKB server shows bindings of the first two columns:
// a/A, e-acute bound, nothing, euro bound.
CoreKeymap keymapWithBindings() {
  return CoreKeymap{
      10,
      4,
      {'a', 'A', 'a', 'A', kEAcute, kEAcute, kEAcute, kEAcute, 0, 0, 0, 0, kEuro, kEuro, kEuro, 0}};
}

TemporaryBinding binding(xcb_keycode_t keycode, xcb_keysym_t keysym) {
  return {keycode, {keysym, keysym, 0, 0}, {0, 0, 0, 0}};
}

TEST(TemporaryBindings, ListsBindingsSoThatTheyReadBackAsTheyWere) {
  const std::vector<TemporaryBinding> bindings{binding(11, kEAcute), binding(13, kEuro)};
  const auto values = bindingValues(bindings);
  EXPECT_EQ(values, (std::vector<std::uint32_t>{11, 4, kEAcute, kEAcute, 0, 0, 0, 0, 0, 0,
                                                13, 4, kEuro,   kEuro,   0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(listedBindings(values), bindings);

  // Values appended by a later batch list its bindings after the earlier ones.
  auto appended = values;
  const auto more = bindingValues({binding(12, 'x')});
  appended.insert(appended.end(), more.begin(), more.end());
  EXPECT_EQ(listedBindings(appended).size(), 3u);
}

TEST(TemporaryBindings, AListCutShortOrMalformedEndsAtItsLastWholeRecord) {
  auto values = bindingValues({binding(11, kEAcute), binding(13, kEuro)});
  values.pop_back();
  EXPECT_EQ(listedBindings(values), std::vector<TemporaryBinding>{binding(11, kEAcute)});
  EXPECT_TRUE(listedBindings(std::vector<std::uint32_t>{11}).empty());
  EXPECT_TRUE(listedBindings(std::vector<std::uint32_t>{11, 0, 1, 2}).empty()) << "no columns";
  EXPECT_TRUE(listedBindings(std::vector<std::uint32_t>{300, 1, 1, 0}).empty()) << "keycode";
  EXPECT_TRUE(listedBindings(std::vector<std::uint32_t>{11, 1000, 1, 0}).empty()) << "columns";
}

TEST(TemporaryBindings, OnlyBindingsTheKeymapStillShowsAreTakenBack) {
  const auto keymap = keymapWithBindings();
  const std::vector<TemporaryBinding> listed{
      binding(11, kEAcute),  // still in place, in every group
      binding(12, 'x'),      // taken back already: the keycode produces nothing again
      binding(10, 'q'),      // bound to something else since
      binding(13, kEuro),    // still in place
      binding(11, kEAcute),  // listed twice
      binding(20, kEuro),    // beyond the keymap
      binding(5, kEuro),     // below it
  };
  EXPECT_EQ(bindingsInPlace(keymap, listed),
            (std::vector<TemporaryBinding>{binding(11, kEAcute), binding(13, kEuro)}));

  auto changed = keymap;
  changed.keysyms[15] = 'x';  // keycode 13 now also gives x: someone bound it since
  EXPECT_EQ(bindingsInPlace(changed, listed), std::vector<TemporaryBinding>{binding(11, kEAcute)});
}

}  // namespace
}  // namespace kex::platform::x11

#include "platform/linux/atspi/press_action.h"

#include <gtest/gtest.h>

namespace kex::platform::atspi {
namespace {

TEST(PreferredPressAction, PrefersClickThenPressThenActivateThenToggle) {
  EXPECT_EQ(preferredPressAction({"toggle", "activate", "press", "click"}), 3u);
  EXPECT_EQ(preferredPressAction({"toggle", "activate", "press"}), 2u);
  EXPECT_EQ(preferredPressAction({"toggle", "activate"}), 1u);
  EXPECT_EQ(preferredPressAction({"showMenu", "toggle"}), 1u);
}

TEST(PreferredPressAction, IgnoresCaseAsQtNamesItsActions) {
  EXPECT_EQ(preferredPressAction({"SetFocus", "Press"}), 1u);
  EXPECT_EQ(preferredPressAction({"Toggle", "CLICK"}), 1u);
  EXPECT_EQ(preferredPressAction({"clicks", "pressed"}), 0u);
}

TEST(PreferredPressAction, FallsBackToTheFirstActionAndToNothing) {
  EXPECT_EQ(preferredPressAction({"jump", "expand or contract"}), 0u);
  EXPECT_EQ(preferredPressAction({}), std::nullopt);
}

}  // namespace
}  // namespace kex::platform::atspi

#include "platform/linux/atspi/accessibility_roles.h"

#include <gtest/gtest.h>

namespace kex::platform::atspi {
namespace {

// The numbers of AtspiRole, which every toolkit sends alike whatever name it gives the role.
TEST(AccessibilityRoles, NamesRolesByNumberAsTheClientLibraryDoes) {
  EXPECT_EQ(roleName(0), "invalid");
  EXPECT_EQ(roleName(23), "frame");
  EXPECT_EQ(roleName(40), "password text");
  EXPECT_EQ(roleName(43), "push button");
  EXPECT_EQ(roleName(129), "push button menu");
}

TEST(AccessibilityRoles, LeavesTheExtendedRoleAndUnknownNumbersToTheApplication) {
  EXPECT_EQ(roleName(70), std::nullopt);
  EXPECT_EQ(roleName(130), std::nullopt);
  EXPECT_EQ(roleName(0xffffffffu), std::nullopt);
}

}  // namespace
}  // namespace kex::platform::atspi

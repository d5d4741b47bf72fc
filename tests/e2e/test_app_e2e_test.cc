// The test application reports what reaches it; later suites rely on these reports to see
// what kex-computer did. Input here comes from xdotool, independent of kex-computer.
#include <signal.h>

#include <string>

#include "tests/e2e/e2e_fixture.h"

namespace kex::e2e {
namespace {

using TestAppE2E = DesktopTest;

constexpr auto kEventDeadline = std::chrono::seconds(10);

harness::Ending xdotool(harness::VirtualDesktop& desktop, std::vector<std::string> args) {
  args.insert(args.begin(), "xdotool");
  return desktop.runTool(args);
}

TEST_F(TestAppE2E, ReportsReadyWithTheIdOfItsTitledWindow) {
  auto app = desktop().startApp({"--title", "Titled window", "--size", "320x240"});
  ASSERT_NE(app->xid(), 0u);
  const auto name = desktop().runTool({"xprop", "-id", std::to_string(app->xid()), "WM_NAME"});
  EXPECT_EQ(name.exitStatus, std::optional<int>(0));
  EXPECT_NE(name.output.find("\"Titled window\""), std::string::npos) << name.output;
}

TEST_F(TestAppE2E, PaintsItsBackgroundInTheRequestedColour) {
  auto app = desktop().startApp(
      {"--title", "Coloured", "--color", "ff8000", "--size", "300x200", "--position", "40,60"});
  const auto origin = desktop().root().windowOrigin(app->xid());
  ASSERT_TRUE(origin.has_value());
  const auto [x, y] = *origin;
  // The bottom right corner of the window lies below every widget.
  const auto pixels = desktop().root().capture(x + 290, y + 190, 1, 1);
  ASSERT_EQ(pixels.size(), 1u);
  EXPECT_EQ(pixels[0], 0xff8000u) << "window at " << x << "," << y;
}

TEST_F(TestAppE2E, ReportsFocusMovingBetweenWindows) {
  auto first = desktop().startApp({"--title", "First"});
  auto second = desktop().startApp({"--title", "Second"});
  ASSERT_TRUE(
      xdotool(desktop(), {"windowfocus", "--sync", std::to_string(second->xid())}).exitStatus == 0);
  EXPECT_TRUE(first->waitForLine("focus-out", harness::deadlineIn(kEventDeadline)));
  ASSERT_TRUE(
      xdotool(desktop(), {"windowfocus", "--sync", std::to_string(first->xid())}).exitStatus == 0);
  EXPECT_TRUE(first->waitForLine("focus-in", harness::deadlineIn(kEventDeadline)));
  EXPECT_TRUE(second->waitForLine("focus-out", harness::deadlineIn(kEventDeadline)));
}

TEST_F(TestAppE2E, ReportsKeysAndEntryText) {
  auto app = desktop().startApp({"--title", "Typing"});
  ASSERT_TRUE(
      xdotool(desktop(), {"windowfocus", "--sync", std::to_string(app->xid())}).exitStatus == 0);
  ASSERT_TRUE(xdotool(desktop(), {"type", "--delay", "0", "ab"}).exitStatus == 0);
  EXPECT_TRUE(app->waitForLine("key a", harness::deadlineIn(kEventDeadline)));
  EXPECT_TRUE(app->waitForLine("text ab", harness::deadlineIn(kEventDeadline)));
}

TEST_F(TestAppE2E, ReportsPointerPressesAndClickedButtons) {
  auto app = desktop().startApp({"--title", "Clicking"});
  const std::string window = std::to_string(app->xid());
  ASSERT_TRUE(xdotool(desktop(), {"windowfocus", "--sync", window}).exitStatus == 0);
  ASSERT_TRUE(
      xdotool(desktop(), {"mousemove", "--sync", "--window", window, "5", "5", "click", "1"})
          .exitStatus == 0);
  EXPECT_EQ(app->waitForLine("button ", harness::deadlineIn(kEventDeadline)),
            std::optional<std::string>("button 1 5 5"));
  // From the text entry, two tabs reach the OK button, which space presses.
  ASSERT_TRUE(xdotool(desktop(), {"key", "--delay", "0", "Tab", "Tab", "space"}).exitStatus == 0);
  EXPECT_TRUE(app->waitForLine("clicked OK", harness::deadlineIn(kEventDeadline)));
}

TEST_F(TestAppE2E, EndsOnSigterm) {
  auto app = desktop().startApp({});
  ASSERT_TRUE(app->process().signal(SIGTERM));
  EXPECT_EQ(app->process().waitExit(harness::deadlineIn(kEventDeadline)), std::optional<int>(0));
}

}  // namespace
}  // namespace kex::e2e

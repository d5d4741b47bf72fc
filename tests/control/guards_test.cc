// The guards in front of every input: each refuses with its code while its condition is
// broken, and nothing reaches the desktop; once the condition holds, the input goes through.
#include <gtest/gtest.h>

#include "main/control/protected_bundles.h"
#include "tests/control/control_fixture.h"

namespace kex::testing {
namespace {

using platform::EventType;

class GuardsTest : public ControlTest {
 protected:
  // A click in the middle of the entry field of the demo window.
  Outcome click(const std::string& captureId) {
    return run("computer.pointer",
               {{"captureId", captureId}, {"x", 100}, {"y", 65}, {"action", "click"}});
  }

  void expectRefusedWithNothingPosted(const Outcome& outcome, const std::string& code) {
    EXPECT_EQ(outcome.code, code);
    EXPECT_FALSE(outcome.dispatched);
    EXPECT_TRUE(desktop.posted().empty());
  }
};

TEST_F(GuardsTest, WithoutAccessibilityTrustRefusesBeforeLookingAtTheCapture) {
  const auto capture = captureOf();
  desktop.revoke(Permission::accessibility);
  expectRefusedWithNothingPosted(click("not a capture"), "permission_required");
  expectRefusedWithNothingPosted(click(capture), "permission_required");
  desktop.grant(Permission::accessibility);
  EXPECT_EQ(click(capture).code, "");
  EXPECT_EQ(count(EventType::leftMouseDown), 1u);
}

TEST_F(GuardsTest, WithoutEventPostingAccessRefusesWithPermissionRequired) {
  const auto capture = captureOf();
  desktop.revoke(Permission::postEvents);
  expectRefusedWithNothingPosted(click(capture), "permission_required");
  desktop.grant(Permission::postEvents);
  EXPECT_EQ(click(capture).code, "");
}

TEST_F(GuardsTest, RefusesMissingUnknownAndDisplayCaptureIdentifiersAsStale) {
  expectRefusedWithNothingPosted(run("computer.pointer", {{"x", 1}, {"y", 1}, {"action", "click"}}),
                                 "target_stale");
  expectRefusedWithNothingPosted(click("00000000-0000-4000-8000-000000000000"), "target_stale");
  const auto displays = ok("computer.displays");
  const auto displayCapture =
      ok("computer.capture", {{"targetId", displays["displays"][0]["targetId"]}});
  expectRefusedWithNothingPosted(click(displayCapture["captureId"]), "target_stale");
  // Nothing was armed for a capture that does not exist.
  EXPECT_TRUE(watchdog->exchanges.empty());
}

TEST_F(GuardsTest, RefusesACaptureExactlyThirtySecondsOld) {
  const auto capture = captureOf();
  desktop.advance(std::chrono::seconds(30));
  expectRefusedWithNothingPosted(click(capture), "target_stale");
  desktop.advance(-std::chrono::milliseconds(1));
  EXPECT_EQ(click(capture).code, "");
}

TEST_F(GuardsTest, RefusesACaptureThatTurnsThirtySecondsOldWhileTheWindowIsVerified) {
  const auto capture = captureOf();
  desktop.advance(std::chrono::milliseconds(29'900));
  desktop.setLiveWindowDelay(std::chrono::milliseconds(200));
  expectRefusedWithNothingPosted(click(capture), "target_stale");
  desktop.setLiveWindowDelay(platform::Duration{0});
  desktop.advance(-std::chrono::seconds(1));
  EXPECT_EQ(click(capture).code, "");
}

TEST_F(GuardsTest, RefusesAProtectedSurfaceBeforeAskingWhichApplicationIsFrontmost) {
  desktop.setProtectedBundleNames({"polkit-gnome-authentication-agent-1"});
  const auto windowOf = [&](std::int32_t pid, const std::string& executable,
                            const std::string& title) {
    desktop.addProcess(pid, executable);
    const auto window = desktop.addWindow(pid, {300, 300, 400, 200}, title);
    const int element = desktop.addAccessibleWindow(window);
    desktop.raiseWindow(window);
    return element;
  };
  const int agent =
      windowOf(500, "/usr/libexec/polkit-gnome-authentication-agent-1", "Authenticate");
  // Not frontmost either: the protected surface is named first.
  expectRefusedWithNothingPosted(click(captureOf("Authenticate")), "protected_target");
  desktop.setFrontmost(500);
  desktop.setFocusedWindow(500, agent);
  expectRefusedWithNothingPosted(click(captureOf("Authenticate")), "protected_target");

  // The same window of a program of another name is controlled.
  const int viewer = windowOf(501, "/usr/libexec/polkit-gnome-authentication-viewer", "Viewer");
  desktop.setFrontmost(501);
  desktop.setFocusedWindow(501, viewer);
  EXPECT_EQ(click(captureOf("Viewer")).code, "");
}

TEST_F(GuardsTest, RefusesAWindowOfThisProcessOrItsParentAsFocusChanged) {
  for (const std::int32_t pid : {4242, 4241}) {
    desktop.addProcess(pid, "/usr/bin/some-" + std::to_string(pid));
    const auto own = desktop.addWindow(pid, {0, 0, 300, 200}, "Own " + std::to_string(pid));
    const int element = desktop.addAccessibleWindow(own);
    desktop.raiseWindow(own);
    desktop.setFrontmost(pid);
    desktop.setFocusedWindow(pid, element);
    const auto capture = captureOf("Own " + std::to_string(pid));
    expectRefusedWithNothingPosted(click(capture), "focus_changed");
  }
}

TEST_F(GuardsTest, RefusesUnlessTheWindowsApplicationIsFrontmost) {
  const auto capture = captureOf();
  desktop.setFrontmost(std::nullopt);
  expectRefusedWithNothingPosted(click(capture), "focus_changed");
  desktop.setFrontmost(999);
  expectRefusedWithNothingPosted(click(capture), "focus_changed");
  desktop.setFailing(Op::frontmostProcessId);
  desktop.setFrontmost(kAppPid);
  expectRefusedWithNothingPosted(click(capture), "focus_changed");
  desktop.setFailing(Op::frontmostProcessId, false);
  EXPECT_EQ(click(capture).code, "");
}

TEST_F(GuardsTest, RefusesUnlessTheWindowIsItsApplicationsFocusedWindow) {
  const auto second = desktop.addWindow(kAppPid, {1000, 50, 300, 300}, "Second", "Demo");
  const int secondElement = desktop.addAccessibleWindow(second);
  const auto capture = captureOf();
  desktop.setFocusedWindow(kAppPid, secondElement);
  expectRefusedWithNothingPosted(click(capture), "focus_changed");
  desktop.setFocusedWindow(kAppPid, std::nullopt);
  expectRefusedWithNothingPosted(click(capture), "focus_changed");
  desktop.setFocusedWindow(kAppPid, axWindow);
  EXPECT_EQ(click(capture).code, "");
}

TEST_F(GuardsTest, AStoppedControllerRefusesWithItsReasonAndDispatchedTrue) {
  const auto capture = captureOf();
  safety.cancel("human_interrupted");
  const auto outcome = click(capture);
  EXPECT_EQ(outcome.code, "human_interrupted");
  EXPECT_TRUE(outcome.dispatched);
  EXPECT_TRUE(desktop.posted().empty());
}

TEST_F(GuardsTest, AGuardThatFailsOnceControlHasStoppedReportsTheStop) {
  const auto capture = captureOf();
  // After the first click of a double click another window comes over the point; the second
  // time, the first click's release also loses the watchdog, which stops control.
  int coverPid = 400;
  bool covered = false;
  bool loseWatchdog = false;
  desktop.setPostHook([&](const platform::Event& event) {
    if (event.type != EventType::leftMouseUp || covered) return;
    covered = true;
    coverWith({150, 80, 200, 200}, coverPid++);
    watchdog->failing = loseWatchdog;
  });
  const Json args{{"captureId", capture}, {"x", 100}, {"y", 65}, {"action", "doubleClick"}};
  EXPECT_EQ(run("computer.pointer", args).code, "target_occluded");
  EXPECT_EQ(count(EventType::leftMouseDown), 1u);

  desktop.raiseWindow(appWindow);
  covered = false;
  loseWatchdog = true;
  EXPECT_EQ(run("computer.pointer", args).code, "input_watchdog_lost");
  EXPECT_EQ(count(EventType::leftMouseDown), 2u);
}

TEST_F(GuardsTest, ArmsControlBeforeVerifyingTheWindow) {
  const auto capture = captureOf();
  desktop.window(appWindow).info.frame.x += 1;
  expectRefusedWithNothingPosted(click(capture), "target_stale");
  // begin() told the watchdog that nothing is held before verification refused.
  ASSERT_EQ(watchdog->exchanges.size(), 1u);
  EXPECT_TRUE(watchdog->exchanges[0].empty());
}

TEST_F(GuardsTest, ReadsTheDesktopAfresh) {
  const auto capture = captureOf();
  desktop.clearCalls();
  EXPECT_EQ(click(capture).code, "");
  const auto calls = desktop.calls();
  const auto forget = std::find(calls.begin(), calls.end(), Op::forgetRemembered);
  const auto firstRead = std::find(calls.begin(), calls.end(), Op::copyAttribute);
  ASSERT_NE(forget, calls.end());
  EXPECT_LT(forget - calls.begin(), firstRead - calls.begin());
}

// --- keyboard focus ------------------------------------------------------------------------

class KeyboardFocusTest : public GuardsTest {
 protected:
  Outcome typeReturn(const std::string& capture) {
    return run("computer.keyboard", {{"captureId", capture}, {"key", "Return"}});
  }
};

TEST_F(KeyboardFocusTest, RefusesWhenTheApplicationHasNoFocusedElement) {
  const auto capture = captureOf();
  desktop.setFocusedElement(kAppPid, std::nullopt);
  expectRefusedWithNothingPosted(typeReturn(capture), "focus_changed");
  desktop.setFocusedElement(kAppPid, entry);
  EXPECT_EQ(typeReturn(capture).code, "");
  EXPECT_EQ(count(EventType::keyDown), 1u);
}

TEST_F(KeyboardFocusTest, RefusesASecureTextFieldAndAcceptsAnElementWithoutSubrole) {
  const auto capture = captureOf();
  desktop.setFocusedElement(kAppPid, password);
  expectRefusedWithNothingPosted(typeReturn(capture), "protected_target");
  ASSERT_FALSE(desktop.element(entry).attributes.contains("AXSubrole"));
  desktop.setFocusedElement(kAppPid, entry);
  EXPECT_EQ(typeReturn(capture).code, "");
}

TEST_F(KeyboardFocusTest, RefusesAWindowWithASheet) {
  const auto capture = captureOf();
  const int sheet = desktop.addElement(kAppPid, axWindow, "AXSheet", "Save changes?");
  expectRefusedWithNothingPosted(typeReturn(capture), "protected_target");
  desktop.element(sheet).attributes["AXRole"] = std::string("AXGroup");
  EXPECT_EQ(typeReturn(capture).code, "");
}

TEST_F(KeyboardFocusTest, ChecksTheWindowFocusBeforeTheKeyboardFocus) {
  const auto capture = captureOf();
  desktop.setFocusedElement(kAppPid, password);
  desktop.setFrontmost(999);
  expectRefusedWithNothingPosted(typeReturn(capture), "focus_changed");
}

TEST_F(KeyboardFocusTest, ChecksArgumentsOnlyAfterTheGuards) {
  const auto capture = captureOf();
  desktop.setFocusedElement(kAppPid, password);
  expectRefusedWithNothingPosted(
      run("computer.keyboard", {{"captureId", capture}, {"key", "Enter"}}), "protected_target");
  desktop.setFocusedElement(kAppPid, entry);
  expectRefusedWithNothingPosted(
      run("computer.keyboard", {{"captureId", capture}, {"key", "Enter"}}), "invalid_arguments");
}

// --- hit points ----------------------------------------------------------------------------

TEST_F(GuardsTest, RefusesAPointCoveredByAnotherApplicationsWindow) {
  const auto capture = captureOf();
  coverWith({150, 80, 200, 200});
  expectRefusedWithNothingPosted(click(capture), "target_occluded");
  desktop.raiseWindow(appWindow);
  EXPECT_EQ(click(capture).code, "");
}

TEST_F(GuardsTest, RefusesAPointUnderAnotherProcesssPopup) {
  const auto capture = captureOf();
  desktop.addProcess(401, "/usr/bin/notifier");
  const auto popup = desktop.addWindow(401, {190, 105, 50, 30}, std::nullopt, "Notifier");
  desktop.window(popup).info.layer = 101;  // an override-redirect menu: never listed
  const int popupElement = desktop.addAccessibleWindow(popup);
  (void)popupElement;
  desktop.raiseWindow(popup);
  expectRefusedWithNothingPosted(click(capture), "target_occluded");
  desktop.window(popup).onScreen = false;
  EXPECT_EQ(click(capture).code, "");
}

TEST_F(GuardsTest, RefusesAPointWhereNoElementOrProcessCanBeFound) {
  const auto capture = captureOf();
  desktop.setFailing(Op::elementAtPosition);
  expectRefusedWithNothingPosted(click(capture), "target_occluded");
  desktop.setFailing(Op::elementAtPosition, false);
  desktop.setFailing(Op::processIdOf);
  expectRefusedWithNothingPosted(click(capture), "target_occluded");
  desktop.setFailing(Op::processIdOf, false);
  EXPECT_EQ(click(capture).code, "");
}

TEST_F(GuardsTest, RefusesAPointOnAnotherWindowOfTheSameApplication) {
  const auto capture = captureOf();
  // A window of the same process in front of the captured one: the element under the point
  // belongs to the right process but not to the captured window.
  const auto palette = desktop.addWindow(kAppPid, {150, 80, 200, 200}, "Palette", "Demo");
  const int paletteElement = desktop.addAccessibleWindow(palette);
  desktop.raiseWindow(palette);
  (void)paletteElement;
  expectRefusedWithNothingPosted(click(capture), "target_occluded");
  desktop.raiseWindow(appWindow);
  EXPECT_EQ(click(capture).code, "");
}

TEST_F(GuardsTest, RefusesAPointOnAWindowOfTheSameApplicationWithoutAnAccessibleWindow) {
  const auto capture = captureOf();
  // In front of the captured window, a window of the same process that the accessibility tree
  // does not show: the captured window's entry lies under it, but the click would land on it.
  const auto unknown = desktop.addWindow(kAppPid, {150, 80, 200, 200}, "Untold", "Demo");
  desktop.raiseWindow(unknown);
  expectRefusedWithNothingPosted(click(capture), "target_occluded");
  desktop.removeWindow(unknown);
  EXPECT_EQ(click(capture).code, "");
}

TEST_F(GuardsTest, APointOnTheWindowsOwnTitleBarHitsTheWindow) {
  // As a toolkit that reports only the client area inside the decorations.
  const platform::Rect client{104, 80, 792, 566};
  desktop.window(appWindow).info.clientArea = client;
  desktop.setElementFrame(axWindow, client);
  const auto capture = captureOf();
  const Json titleBar = {{"captureId", capture}, {"x", 400}, {"y", 10}, {"action", "click"}};
  EXPECT_EQ(run("computer.pointer", titleBar).code, "");
  EXPECT_EQ(count(EventType::leftMouseDown), 1u);
  EXPECT_EQ(desktop.posted().front().location, (platform::Point{500, 60}));
}

TEST_F(GuardsTest, WalksAtMostFifteenAncestorsUpFromTheElementUnderThePoint) {
  // Fifteen nested boxes put the deepest one sixteen elements from the window, itself
  // included: the walk still reaches the window. One more level and it does not.
  int parent = axWindow;
  int deepest = 0;
  for (int level = 1; level <= 15; ++level) {
    deepest = desktop.addElement(kAppPid, parent, "AXGroup", "Level " + std::to_string(level));
    desktop.setElementFrame(deepest, {600, 400, 100, 100});
    parent = deepest;
  }
  const auto capture = captureOf();
  const Json at = {{"captureId", capture}, {"x", 550}, {"y", 400}, {"action", "click"}};
  EXPECT_EQ(run("computer.pointer", at).code, "");
  const int tooDeep = desktop.addElement(kAppPid, deepest, "AXGroup", "Level 16");
  desktop.setElementFrame(tooDeep, {600, 400, 100, 100});
  desktop.clearCalls();
  const auto before = desktop.posted().size();
  const auto outcome = run("computer.pointer", at);
  EXPECT_EQ(outcome.code, "target_occluded");
  EXPECT_FALSE(outcome.dispatched);
  EXPECT_EQ(desktop.posted().size(), before);
}

TEST_F(GuardsTest, RefusesAPointOnTheRightOrBottomEdgeOfTheFrameAndAcceptsTheLeftAndTop) {
  const platform::WindowInfo window = desktop.window(appWindow).info;
  auto& guards = computer.guards();
  const auto codeAt = [&](platform::Point point) -> std::string {
    try {
      guards.requirePoint(window, point);
    } catch (const Failure& failure) {
      return failure.code;
    }
    return "";
  };
  EXPECT_EQ(codeAt({900, 300}), "target_stale");
  EXPECT_EQ(codeAt({500, 650}), "target_stale");
  EXPECT_EQ(codeAt({100, 50}), "");
  EXPECT_EQ(codeAt({899.5, 649.5}), "");
}

TEST_F(GuardsTest, AskForFocusBeforeTheHitTest) {
  const auto capture = captureOf();
  coverWith({150, 80, 200, 200});
  desktop.setFocusedWindow(kAppPid, std::nullopt);
  expectRefusedWithNothingPosted(click(capture), "focus_changed");
}

// --- protected bundles ---------------------------------------------------------------------

TEST(ProtectedBundles, ComparesTheHostWholeAndThePlatformsNamesByFileName) {
  const ProtectedBundles bundles("/usr/lib/kex/kex-host", {"gcr-prompter", "kex-confirm"});
  EXPECT_TRUE(bundles.contains("/usr/lib/kex/kex-host"));
  EXPECT_FALSE(bundles.contains("/opt/other/kex-host"));
  EXPECT_TRUE(bundles.contains("/usr/libexec/gcr-prompter"));
  EXPECT_TRUE(bundles.contains("gcr-prompter"));
  EXPECT_TRUE(bundles.contains("/usr/local/bin/kex-confirm"));
  EXPECT_FALSE(bundles.contains("/usr/bin/gcr-prompter-helper"));
  EXPECT_FALSE(bundles.contains("/usr/libexec/gcr-prompter/"));
  EXPECT_FALSE(bundles.contains(std::nullopt));
  EXPECT_FALSE(bundles.contains(""));
}

TEST(ProtectedBundles, AnEmptyHostIdentifierProtectsNothing) {
  const ProtectedBundles bundles("", {});
  EXPECT_FALSE(bundles.contains(""));
  EXPECT_FALSE(bundles.contains("/usr/bin/anything"));
}

}  // namespace
}  // namespace kex::testing

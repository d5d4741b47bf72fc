// computer.focus brings a listed window to the front and proves it; computer.action presses
// or focuses a node of the window's tree once every guard holds.
#include <gtest/gtest.h>

#include "tests/control/control_fixture.h"

namespace kex::testing {
namespace {

class FocusTest : public ControlTest {
 protected:
  Outcome focus(const std::string& target) { return run("computer.focus", {{"targetId", target}}); }
};

TEST_F(FocusTest, BringsACoveredWindowOfABackgroundApplicationToTheFront) {
  const auto cover = coverWith({0, 0, 1000, 700});
  desktop.setFrontmost(400);
  desktop.setFocusedWindow(kAppPid, std::nullopt);
  const auto target = listedTarget();
  const auto started = desktop.clock().now();
  const auto outcome = focus(target);
  EXPECT_EQ(outcome.code, "");
  EXPECT_EQ(outcome.result, (Json{{"verified", true}}));
  EXPECT_TRUE(outcome.dispatched);
  EXPECT_EQ(desktop.frontmost(), kAppPid);
  EXPECT_EQ(desktop.focusedWindowOf(kAppPid), axWindow);
  EXPECT_EQ(desktop.performed(), (std::vector<PerformedAction>{{axWindow, "AXRaise"}}));
  EXPECT_GE(desktop.clock().now() - started, std::chrono::milliseconds(100));
  EXPECT_TRUE(desktop.posted().empty());
  // The window is in front now: the listing shows it first.
  EXPECT_EQ(ok("computer.windows")["windows"][0]["title"], "Demo");
  (void)cover;
}

TEST_F(FocusTest, RefusesDisplayTargetsAndTargetsOfAnEarlierListing) {
  const auto displays = ok("computer.displays");
  EXPECT_EQ(focus(displays["displays"][0]["targetId"]).code, "target_stale");
  const auto old = listedTarget();
  (void)listedTarget();
  const auto outcome = focus(old);
  EXPECT_EQ(outcome.code, "target_stale");
  EXPECT_FALSE(outcome.dispatched);
  EXPECT_EQ(run("computer.focus", {{"targetId", 7}}).code, "target_stale");
  EXPECT_TRUE(desktop.performed().empty());
}

TEST_F(FocusTest, RefusesWindowsOfThisProcessItsParentAndProtectedSurfacesAsProtected) {
  desktop.setProtectedBundleNames({"gnome-control-center"});
  for (const std::int32_t pid : {4242, 4241}) {
    desktop.addProcess(pid, "/usr/bin/some-" + std::to_string(pid));
    (void)desktop.addAccessibleWindow(
        desktop.addWindow(pid, {0, 0, 300, 200}, "Own " + std::to_string(pid)));
    EXPECT_EQ(focus(listedTarget("Own " + std::to_string(pid))).code, "protected_target");
  }
  desktop.addProcess(500, "/usr/bin/gnome-control-center");
  (void)desktop.addAccessibleWindow(desktop.addWindow(500, {0, 0, 300, 200}, "Settings"));
  const auto outcome = focus(listedTarget("Settings"));
  EXPECT_EQ(outcome.code, "protected_target");
  EXPECT_FALSE(outcome.dispatched);
  EXPECT_TRUE(desktop.performed().empty());
}

TEST_F(FocusTest, ARefusedActivationIsInputBlockedAndPossiblyDispatched) {
  const auto target = listedTarget();
  desktop.setFailing(Op::activateApplication);
  const auto outcome = focus(target);
  EXPECT_EQ(outcome.code, "input_blocked");
  EXPECT_TRUE(outcome.dispatched);
  EXPECT_TRUE(desktop.performed().empty());
  desktop.setFailing(Op::activateApplication, false);
  EXPECT_EQ(focus(target).code, "");
}

TEST_F(FocusTest, AFailedRaiseIsInputBlocked) {
  const auto target = listedTarget();
  desktop.setFailing(Op::performAction);
  const auto outcome = focus(target);
  EXPECT_EQ(outcome.code, "input_blocked");
  EXPECT_TRUE(outcome.dispatched);
}

TEST_F(FocusTest, ARaiseThatLeavesAnotherWindowFocusedIsFocusChanged) {
  const auto other = desktop.addWindow(kAppPid, {1000, 50, 200, 200}, "Other", "Demo");
  const int otherElement = desktop.addAccessibleWindow(other);
  desktop.setFocusedWindow(kAppPid, otherElement);
  desktop.setRaiseTakesEffect(false);
  const auto target = listedTarget();
  const auto outcome = focus(target);
  EXPECT_EQ(outcome.code, "focus_changed");
  EXPECT_TRUE(outcome.dispatched);
  desktop.setRaiseTakesEffect(true);
  EXPECT_EQ(focus(target).code, "");
}

TEST_F(FocusTest, ATargetThatExpiresWhileTheRaiseSettlesIsStale) {
  const auto target = listedTarget();
  desktop.setLiveWindowDelay(std::chrono::seconds(120));
  const auto outcome = focus(target);
  EXPECT_EQ(outcome.code, "target_stale");
  EXPECT_TRUE(outcome.dispatched);
  EXPECT_EQ(desktop.performed().size(), 1u);
}

TEST_F(FocusTest, AStoppedControllerRefusesBeforeTouchingAnything) {
  const auto target = listedTarget();
  safety.cancel("cancelled");
  EXPECT_EQ(focus(target).code, "cancelled");
  EXPECT_TRUE(desktop.performed().empty());
  EXPECT_EQ(desktop.frontmost(), kAppPid);
}

// --- element actions -----------------------------------------------------------------------

class ActionTest : public ControlTest {
 protected:
  // Lists the window, captures it and reads its tree, as a host does before an action.
  void observe(const std::string& window = "Demo") {
    const auto target = listedTarget(window);
    capture = ok("computer.capture", {{"targetId", target}}).value("captureId", "");
    tree = ok("computer.accessibility", {{"targetId", target}, {"maxNodes", 64}})["tree"];
  }

  std::string node(const std::string& title) {
    std::string found;
    std::function<void(const Json&)> visit = [&](const Json& each) {
      if (found.empty() && each.value("title", "") == title && each.contains("nodeId")) {
        found = each["nodeId"];
      }
      if (each.contains("children")) {
        for (const auto& child : each["children"]) visit(child);
      }
    };
    visit(tree);
    if (found.empty()) ADD_FAILURE() << "no node titled " << title;
    return found;
  }

  Outcome action(const std::string& nodeId, const Json& name) {
    return run("computer.action", {{"nodeId", nodeId}, {"captureId", capture}, {"action", name}});
  }

  std::string capture;
  Json tree;
};

TEST_F(ActionTest, PressesAnEnabledButtonOfTheCapturedWindow) {
  observe();
  const auto outcome = action(node("OK"), "press");
  EXPECT_EQ(outcome.code, "");
  EXPECT_EQ(outcome.result, (Json{{"verified", false}}));
  EXPECT_TRUE(outcome.dispatched);
  EXPECT_EQ(desktop.performed(), (std::vector<PerformedAction>{{button, "AXPress"}}));
  EXPECT_TRUE(desktop.posted().empty());
}

TEST_F(ActionTest, FocusGivesTheElementTheKeyboardFocus) {
  desktop.setFocusedElement(kAppPid, button);
  observe();
  ASSERT_EQ(action(node("Text"), "focus").code, "");
  EXPECT_EQ(desktop.focusedElementOf(kAppPid), entry);
  EXPECT_EQ(desktop.performed(), (std::vector<PerformedAction>{{entry, "AXFocused"}}));
}

TEST_F(ActionTest, RefusesANodeFiveSecondsOldWithoutLookingAtTheCapture) {
  observe();
  const auto ok = node("OK");
  desktop.advance(std::chrono::seconds(5));
  const auto outcome = run("computer.action", {{"nodeId", ok}, {"action", "press"}});
  EXPECT_EQ(outcome.code, "target_stale");
  EXPECT_FALSE(outcome.dispatched);
  // Control was never armed.
  EXPECT_TRUE(watchdog->exchanges.empty());
  desktop.advance(-std::chrono::milliseconds(1));
  EXPECT_EQ(action(ok, "press").code, "");
}

TEST_F(ActionTest, RefusesANodeOfOneWindowWithACaptureOfAnother) {
  const auto other = desktop.addWindow(kAppPid, {1000, 50, 300, 300}, "Other", "Demo");
  (void)desktop.addElement(kAppPid, desktop.addAccessibleWindow(other), "AXButton", "Apply");
  // One listing; a capture of Demo and the tree of Other.
  const auto listing = ok("computer.windows");
  std::map<std::string, std::string> targets;
  for (const auto& window : listing["windows"]) targets[window["title"]] = window["targetId"];
  capture = ok("computer.capture", {{"targetId", targets["Demo"]}}).value("captureId", "");
  tree = ok("computer.accessibility", {{"targetId", targets["Other"]}, {"maxNodes", 64}})["tree"];
  const auto outcome = action(node("Apply"), "press");
  EXPECT_EQ(outcome.code, "target_stale");
  EXPECT_FALSE(outcome.dispatched);
  EXPECT_TRUE(desktop.performed().empty());
}

TEST_F(ActionTest, RefusesAnElementThatLeftTheWindowOrHangsMoreThanFifteenLevelsBelowIt) {
  int parent = axWindow;
  for (int level = 1; level <= 15; ++level) {
    parent = desktop.addElement(kAppPid, parent, "AXGroup", "Level " + std::to_string(level));
  }
  observe();
  const auto ok = node("OK");
  // The button moves below the fifteenth box: seventeen elements from the window, itself
  // included.
  desktop.element(button).parent = parent;
  EXPECT_EQ(action(ok, "press").code, "protected_target");
  // Directly below the fifteenth box's parent it is sixteen from the window: still inside.
  desktop.element(button).parent = desktop.element(parent).parent;
  EXPECT_EQ(action(ok, "press").code, "");
  // An element of the application that belongs to no window.
  desktop.element(button).parent = std::nullopt;
  EXPECT_EQ(action(ok, "press").code, "protected_target");
}

TEST_F(ActionTest, RefusesDisabledUnreadableAndSecureElements) {
  observe();
  desktop.element(button).attributes["AXEnabled"] = false;
  EXPECT_EQ(action(node("OK"), "press").code, "protected_target");
  desktop.element(button).unreadable.insert("AXEnabled");
  EXPECT_EQ(action(node("OK"), "press").code, "protected_target");
  desktop.element(button).unreadable.clear();
  desktop.element(button).attributes["AXEnabled"] = std::string("yes");
  EXPECT_EQ(action(node("OK"), "press").code, "protected_target");
  desktop.element(button).attributes["AXEnabled"] = true;
  desktop.element(button).attributes["AXSubrole"] = std::string("AXSecureTextField");
  const auto outcome = action(node("OK"), "press");
  EXPECT_EQ(outcome.code, "protected_target");
  EXPECT_FALSE(outcome.dispatched);
  EXPECT_TRUE(desktop.performed().empty());
}

TEST_F(ActionTest, ExaminesTheActionNameOnlyOnceEveryGuardHolds) {
  observe();
  desktop.setFrontmost(999);
  EXPECT_EQ(action(node("OK"), "Press").code, "focus_changed");
  desktop.setFrontmost(kAppPid);
  for (const Json& name : {Json("Press"), Json("click"), Json(""), Json(1)}) {
    const auto outcome = action(node("OK"), name);
    EXPECT_EQ(outcome.code, "invalid_arguments") << name;
    EXPECT_FALSE(outcome.dispatched);
  }
  EXPECT_TRUE(desktop.performed().empty());
}

TEST_F(ActionTest, ARefusedPressOrFocusIsInputBlockedAndPossiblyDispatched) {
  observe();
  desktop.setFailing(Op::performAction);
  desktop.setFailing(Op::setFocused);
  for (const char* name : {"press", "focus"}) {
    const auto outcome = action(node("OK"), name);
    EXPECT_EQ(outcome.code, "input_blocked") << name;
    EXPECT_TRUE(outcome.dispatched) << name;
  }
}

TEST_F(ActionTest, RefusesWhenTheWindowIsNoLongerFocused) {
  observe();
  desktop.setFocusedWindow(kAppPid, std::nullopt);
  const auto outcome = action(node("OK"), "press");
  EXPECT_EQ(outcome.code, "focus_changed");
  EXPECT_FALSE(outcome.dispatched);
}

}  // namespace
}  // namespace kex::testing

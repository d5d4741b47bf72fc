#include <gtest/gtest.h>

#include <functional>

#include "tests/observe/observe_fixture.h"

namespace kex::testing {
namespace {

namespace attributes = platform::attributes;

class AccessibilityTest : public ObserveTest {
 protected:
  AccessibilityTest() { root = desktop.addAccessibleWindow(appWindow); }

  Json tree(Json args = Json::object()) {
    if (!args.contains("targetId")) args["targetId"] = listedTarget();
    return ok("computer.accessibility", std::move(args));
  }

  // Counts the described elements (those with a role) of a description.
  static int described(const Json& node) {
    if (!node.contains("role")) return 0;
    int count = 1;
    if (node.contains("children")) {
      for (const auto& child : node["children"]) count += described(child);
    }
    return count;
  }

  int root = 0;
};

TEST_F(AccessibilityTest, DescribesOnlyTheWindowWithoutABudget) {
  desktop.addElement(kAppPid, root, "push button", "OK");
  const auto result = tree();
  EXPECT_EQ(result["scope"], "window");
  const auto& window = result["tree"];
  EXPECT_EQ(window["role"], "frame");
  EXPECT_EQ(window["title"], "Demo");
  EXPECT_EQ(window["enabled"], true);
  EXPECT_EQ(window["nodeId"].get<std::string>().size(), 36u);
  EXPECT_EQ(window["children"], Json::array());
  EXPECT_EQ(desktop.messagingTimeout(kAppPid), 0.5);
}

TEST_F(AccessibilityTest, ClampsTheBudgetBetweenOneAndTwoHundredFiftySix) {
  for (int i = 0; i < 300; ++i) desktop.addElement(kAppPid, root, "label");
  for (const Json& budget : {Json(0), Json(-4), Json(2.5), Json("9"), Json(nullptr)}) {
    EXPECT_EQ(described(tree({{"maxNodes", budget}})["tree"]), 1) << budget;
  }
  const auto full = tree({{"maxNodes", 1000}})["tree"];
  EXPECT_EQ(described(full), 256);
  EXPECT_EQ(full["children"].size(), 255u);
  EXPECT_EQ(computer.observation().registries().nodes.size(), 256u);
}

TEST_F(AccessibilityTest, SpendsTheBudgetDepthFirstAndLeavesTheRestOutWithoutMarkers) {
  const int first = desktop.addElement(kAppPid, root, "panel", "first");
  desktop.addElement(kAppPid, first, "label", "first.a");
  desktop.addElement(kAppPid, first, "label", "first.b");
  desktop.addElement(kAppPid, root, "panel", "second");
  const auto window = tree({{"maxNodes", 3}})["tree"];
  ASSERT_EQ(window["children"].size(), 1u);
  const auto& child = window["children"][0];
  EXPECT_EQ(child["title"], "first");
  ASSERT_EQ(child["children"].size(), 1u);
  EXPECT_EQ(child["children"][0]["title"], "first.a");
}

TEST_F(AccessibilityTest, MarksElementsBelowTwelveLevelsFreeOfCharge) {
  int parent = root;
  for (int level = 1; level <= 14; ++level) {
    parent = desktop.addElement(kAppPid, parent, "filler", std::to_string(level));
  }
  desktop.addElement(kAppPid, root, "label", "sibling");
  auto node = tree({{"maxNodes", 256}})["tree"];
  const auto top = node;
  for (int level = 1; level <= 12; ++level) node = node["children"][0];
  EXPECT_EQ(node["title"], "12");
  EXPECT_EQ(node["children"], (Json::array({{{"truncated", true}}})));
  EXPECT_EQ(described(top), 14);  // the window, twelve levels, and the sibling
}

TEST_F(AccessibilityTest, DescribesAManyChildListInOrderUntilTheBudgetEnds) {
  const int list = desktop.addElement(kAppPid, root, "list");
  for (int i = 0; i < 300; ++i) desktop.addElement(kAppPid, list, "list item", std::to_string(i));
  desktop.element(root).children = {list};
  const auto window = tree({{"maxNodes", 256}})["tree"];
  const auto& items = window["children"][0]["children"];
  EXPECT_EQ(items.size(), 254u);  // the budget ends first: window, list, 254 items
  EXPECT_EQ(items.front()["title"], "0");
  EXPECT_EQ(items.back()["title"], "253");
}

TEST_F(AccessibilityTest, ShowsASecureTextFieldOnlyAsProtected) {
  const int password = desktop.addElement(kAppPid, root, "password text", "secret");
  desktop.element(password).attributes[std::string(attributes::subrole)] =
      std::string("AXSecureTextField");
  desktop.addElement(kAppPid, password, "label", "inside");
  desktop.addElement(kAppPid, root, "push button", "after");
  const auto window = tree({{"maxNodes", 3}})["tree"];
  ASSERT_EQ(window["children"].size(), 2u);
  EXPECT_EQ(window["children"][0], (Json{{"role", "password text"}, {"protected", true}}));
  EXPECT_EQ(window["children"][1]["title"], "after");
  EXPECT_EQ(computer.observation().registries().nodes.size(), 2u);
}

TEST_F(AccessibilityTest, UnreadableAttributesBecomeDefaults) {
  const int odd = desktop.addElement(kAppPid, root, "label", "odd");
  auto& element = desktop.element(odd);
  element.unreadable = {std::string(attributes::role), std::string(attributes::enabled)};
  element.attributes[std::string(attributes::title)] = true;  // a title of the wrong type
  element.childrenReadable = false;
  const auto described = tree({{"maxNodes", 5}})["tree"]["children"][0];
  EXPECT_EQ(described["role"], "unreadable");
  EXPECT_EQ(described["enabled"], false);
  EXPECT_EQ(described["title"], "");
  EXPECT_FALSE(described.contains("children"));
}

TEST_F(AccessibilityTest, ANewTreeInvalidatesEveryEarlierNodeEvenOfAnotherWindow) {
  const auto second = desktop.addWindow(kAppPid, {900, 50, 200, 200}, "Second", "Demo");
  desktop.addAccessibleWindow(second);
  const auto listing = ok("computer.windows")["windows"];
  const auto first = tree({{"targetId", listing[0]["targetId"]}})["tree"]["nodeId"];
  auto& nodes = computer.observation().registries().nodes;
  EXPECT_EQ(nodes.count(first), 1u);
  (void)ok("computer.accessibility", {{"targetId", listing[1]["targetId"]}});
  EXPECT_EQ(nodes.count(first), 0u);
  EXPECT_EQ(nodes.size(), 1u);
}

TEST_F(AccessibilityTest, RefusesTwoAccessibilityWindowsWithTheSameFrameAndTitle) {
  const auto target = listedTarget();
  desktop.addAccessibleWindow(appWindow);
  EXPECT_EQ(failure("computer.accessibility", {{"targetId", target}}), "target_stale");
}

TEST_F(AccessibilityTest, RefusesAnAccessibilityFrameOffByAFractionOfAPoint) {
  const auto target = listedTarget();
  desktop.element(root).attributes[std::string(attributes::position)] = platform::Point{100.5, 50};
  EXPECT_EQ(failure("computer.accessibility", {{"targetId", target}}), "target_stale");
}

// Qt and Firefox report the client area of a window as its extents, GTK the decorated frame.
class ClientAreaTest : public AccessibilityTest {
 protected:
  static constexpr platform::Rect kClientArea{101, 70, 798, 579};

  ClientAreaTest() { desktop.window(appWindow).info.clientArea = kClientArea; }

  void reportExtents(int element, const platform::Rect& extents) {
    desktop.element(element).attributes[std::string(attributes::position)] =
        platform::Point{extents.x, extents.y};
    desktop.element(element).attributes[std::string(attributes::size)] =
        platform::Size{extents.width, extents.height};
  }
};

TEST_F(ClientAreaTest, FindsAWindowWhoseExtentsAreTheClientAreaAndOneWhoseExtentsAreTheFrame) {
  const auto target = listedTarget();
  EXPECT_EQ(tree({{"targetId", target}})["tree"]["title"], "Demo");
  reportExtents(root, kClientArea);
  EXPECT_EQ(tree({{"targetId", target}})["tree"]["title"], "Demo");
}

TEST_F(ClientAreaTest, RefusesExtentsOffTheClientAreaByOnePoint) {
  const auto target = listedTarget();
  reportExtents(root, {101, 70, 798, 580});
  EXPECT_EQ(failure("computer.accessibility", {{"targetId", target}}), "target_stale");
}

TEST_F(ClientAreaTest, RefusesOneWindowOnTheFrameAndAnotherOnTheClientArea) {
  const auto target = listedTarget();
  reportExtents(desktop.addAccessibleWindow(appWindow), kClientArea);
  EXPECT_EQ(failure("computer.accessibility", {{"targetId", target}}), "target_stale");
}

TEST_F(ClientAreaTest, KeepsTheTitleRuleForAWindowFoundByItsClientArea) {
  const auto target = listedTarget();
  reportExtents(root, kClientArea);
  desktop.element(root).attributes[std::string(attributes::title)] = std::string("Other");
  EXPECT_EQ(failure("computer.accessibility", {{"targetId", target}}), "target_stale");
}

TEST_F(AccessibilityTest, MatchesAnUntitledWindowWithAnEmptyOrAbsentTitle) {
  desktop.window(appWindow).info.title.reset();
  desktop.element(root).attributes.erase(std::string(attributes::title));
  const auto target = ok("computer.windows")["windows"][0]["targetId"];
  EXPECT_EQ(failure("computer.accessibility", {{"targetId", target}}), "succeeded");
}

TEST_F(AccessibilityTest, WithoutTrustFailsBeforeFindingTheWindowAndKeepsEarlierNodes) {
  const auto target = listedTarget();
  const auto node = tree({{"targetId", target}})["tree"]["nodeId"];
  desktop.revoke(Permission::accessibility);
  EXPECT_EQ(failure("computer.accessibility", {{"targetId", target}}), "permission_required");
  EXPECT_EQ(computer.observation().registries().nodes.count(node), 1u);
}

TEST_F(AccessibilityTest, ADisplayTargetIsNotAWindow) {
  const auto display = ok("computer.displays")["displays"][0]["targetId"];
  EXPECT_EQ(failure("computer.accessibility", {{"targetId", display}}), "target_stale");
}

}  // namespace
}  // namespace kex::testing

// computer.accessibility against the test application's known tree, read over the real
// accessibility bus: limits, protected fields, fresh node ids, the frame agreement that finds
// the window, and a frozen application.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tests/e2e/e2e_fixture.h"

namespace kex::e2e {
namespace {

constexpr auto kSettleDeadline = std::chrono::seconds(15);
constexpr int kMaxDepth = 12;
constexpr std::size_t kMaxChildren = 256;
constexpr int kFullBudget = 256;
constexpr std::size_t kTitleCharacterLimit = 512;
constexpr const char* kAccentedE = "e\u0301";

std::string accentedEs(std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += kAccentedE;
  return text;
}

// Calls visit(node, depth) for every node of the tree, parents first.
void forEachNode(const json& node, const std::function<void(const json&, int)>& visit,
                 int depth = 0) {
  visit(node, depth);
  if (!node.contains("children")) return;
  for (const auto& child : node["children"]) forEachNode(child, visit, depth + 1);
}

std::vector<const json*> nodesTitled(const json& tree, const std::string& title) {
  std::vector<const json*> found;
  forEachNode(tree, [&](const json& node, int) {
    if (node.value("title", "") == title) found.push_back(&node);
  });
  return found;
}

// Nodes that took one unit of the budget: every node but a truncation marker.
int budgetedNodes(const json& tree) {
  int count = 0;
  forEachNode(tree, [&](const json& node, int) {
    if (!node.contains("truncated")) ++count;
  });
  return count;
}

std::set<std::string> nodeIds(const json& tree) {
  std::set<std::string> ids;
  forEachNode(tree, [&](const json& node, int) {
    if (node.contains("nodeId")) ids.insert(node["nodeId"].get<std::string>());
  });
  return ids;
}

class AccessibilityE2E : public E2ETest {
 protected:
  void startTreeApp(std::vector<std::string> extraArgs = {}) {
    std::vector<std::string> args{"--tree", "--size", "480x360"};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    app_ = desktop().startApp(args);
  }

  // The listed window of the test application, once the listing shows it.
  [[nodiscard]] std::optional<json> listedWindow() {
    const auto deadline = harness::deadlineIn(kSettleDeadline);
    while (!harness::hasPassed(deadline)) {
      const json response = requestFresh("computer.windows");
      if (!response.value("ok", false)) continue;
      for (const auto& window : response["result"]["windows"]) {
        if (window.value("application", "") == "Kex-test-app") return window;
      }
    }
    return std::nullopt;
  }

  [[nodiscard]] json describe(const json& window, int maxNodes) {
    return requestFresh("computer.accessibility",
                        {{"targetId", window["targetId"]}, {"maxNodes", maxNodes}});
  }

  // The first successful description. A window manager may still move a window that has just
  // appeared, and a moved window is stale until listed again; so list and describe afresh
  // until both agree, up to a deadline.
  [[nodiscard]] std::optional<json> settledTree(int maxNodes) {
    const auto deadline = harness::deadlineIn(kSettleDeadline);
    while (!harness::hasPassed(deadline)) {
      const auto window = listedWindow();
      if (!window) return std::nullopt;
      listed_ = *window;
      const json response = describe(*window, maxNodes);
      if (response.value("ok", false)) return response["result"];
      last_ = response;
    }
    ADD_FAILURE() << "no description before the deadline; last answer " << last_.dump();
    return std::nullopt;
  }

  std::unique_ptr<harness::TestApp> app_;
  json listed_;
  json last_;
};

TEST_F(AccessibilityE2E, DescribesTheWindowAsAFrameWithTheListedTitleCutTo512Characters) {
  startTreeApp();
  const auto result = settledTree(kFullBudget);
  ASSERT_TRUE(result);
  EXPECT_EQ((*result)["scope"], "window");
  EXPECT_EQ((*result)["targetId"], listed_["targetId"]);
  const json& root = (*result)["tree"];
  EXPECT_EQ(root.value("role", ""), "frame");
  EXPECT_EQ(root.value("enabled", false), true);
  // The window was found, so its accessible title equals the full 600 characters of the X
  // window's title; the description cuts it.
  const std::string title = root.value("title", "");
  EXPECT_TRUE(title == accentedEs(kTitleCharacterLimit)) << title.size() << " bytes";
}

TEST_F(AccessibilityE2E, SpendsTheWholeBudgetOnATreeLargerThanIt) {
  startTreeApp();
  const auto result = settledTree(kFullBudget);
  ASSERT_TRUE(result);
  EXPECT_EQ(budgetedNodes((*result)["tree"]), kFullBudget);
}

TEST_F(AccessibilityE2E, DescribesNoMoreNodesThanASmallBudgetAllows) {
  startTreeApp();
  const auto result = settledTree(5);
  ASSERT_TRUE(result);
  EXPECT_EQ(budgetedNodes((*result)["tree"]), 5);
}

TEST_F(AccessibilityE2E, MarksWhatLiesBelowDepth12AsTruncated) {
  startTreeApp();
  const auto result = settledTree(kFullBudget);
  ASSERT_TRUE(result);
  const json& tree = (*result)["tree"];
  int deepestDescribed = 0;
  forEachNode(tree, [&](const json& node, int depth) {
    if (!node.contains("truncated")) deepestDescribed = std::max(deepestDescribed, depth);
  });
  EXPECT_EQ(deepestDescribed, kMaxDepth);
  // frame > filler > Level 1 ... Level 11 is 12 deep; Level 12 lies beyond.
  const auto deepest = nodesTitled(tree, "Level 11");
  ASSERT_EQ(deepest.size(), 1u);
  EXPECT_EQ((*deepest[0])["children"], json::array({{{"truncated", true}}}));
  EXPECT_TRUE(nodesTitled(tree, "Level 12").empty());
  EXPECT_TRUE(nodesTitled(tree, "Deepest").empty());
}

TEST_F(AccessibilityE2E, ListsTheLongListInOrderUntilTheBudgetEnds) {
  startTreeApp();
  const auto result = settledTree(kFullBudget);
  ASSERT_TRUE(result);
  const json& tree = (*result)["tree"];
  forEachNode(tree, [](const json& node, int) {
    if (node.contains("children")) {
      EXPECT_LE(node["children"].size(), kMaxChildren);
    }
  });
  const auto lists = nodesTitled(tree, "List");
  ASSERT_EQ(lists.size(), 1u);
  const json& items = (*lists[0])["children"];
  // Every node before the list took one unit of the budget; the list gets the rest.
  const int before = kFullBudget - static_cast<int>(items.size());
  EXPECT_GT(before, 20);
  EXPECT_EQ(budgetedNodes(tree), kFullBudget);
  for (std::size_t i = 0; i < items.size(); ++i) {
    EXPECT_EQ(items[i].value("title", ""), "Item " + std::to_string(i + 1));
    EXPECT_EQ(items[i].value("role", ""), "label");
  }
}

TEST_F(AccessibilityE2E, ShowsThePasswordEntryOnlyAsProtected) {
  startTreeApp();
  const auto result = settledTree(kFullBudget);
  ASSERT_TRUE(result);
  const json& tree = (*result)["tree"];
  std::vector<json> protectedNodes;
  forEachNode(tree, [&](const json& node, int) {
    if (node.contains("protected")) protectedNodes.push_back(node);
  });
  ASSERT_EQ(protectedNodes.size(), 1u);
  EXPECT_EQ(protectedNodes[0], (json{{"role", "password text"}, {"protected", true}}));
  EXPECT_TRUE(nodesTitled(tree, "Password").empty());
  // The plain entry beside it is described in full.
  const auto text = nodesTitled(tree, "Text");
  ASSERT_EQ(text.size(), 1u);
  EXPECT_EQ(text[0]->value("role", ""), "text");
  EXPECT_TRUE(text[0]->contains("nodeId"));
}

TEST_F(AccessibilityE2E, GivesEveryNodeANewIdOnTheNextRequest) {
  startTreeApp();
  const auto first = settledTree(kFullBudget);
  ASSERT_TRUE(first);
  const json second = describe(listed_, kFullBudget);
  ASSERT_TRUE(second.value("ok", false)) << second.dump();
  const auto firstIds = nodeIds((*first)["tree"]);
  const auto secondIds = nodeIds(second["result"]["tree"]);
  EXPECT_EQ(firstIds.size(), secondIds.size());
  EXPECT_GT(firstIds.size(), 200u);
  std::vector<std::string> common;
  std::set_intersection(firstIds.begin(), firstIds.end(), secondIds.begin(), secondIds.end(),
                        std::back_inserter(common));
  EXPECT_TRUE(common.empty()) << common.size() << " node ids came back";
  EXPECT_EQ(budgetedNodes(second["result"]["tree"]), budgetedNodes((*first)["tree"]));
}

// The window is found only when the accessibility frame and title equal the listed frame and
// title exactly, so a description at all shows that they agree.
TEST_F(AccessibilityE2E, FindsTheWindowWhoseFrameEqualsTheListedFrameWithDecorations) {
  startTreeApp({"--title", "Frame check", "--position", "70,90"});
  const auto result = settledTree(1);
  ASSERT_TRUE(result);
  EXPECT_EQ((*result)["tree"].value("role", ""), "frame");
  EXPECT_EQ((*result)["tree"].value("title", ""), "Frame check");
  // The listed frame holds the client window and the decorations around it.
  const auto origin = desktop().root().windowOrigin(app_->xid());
  ASSERT_TRUE(origin);
  const json& frame = listed_["sourceRect"];
  EXPECT_LE(frame.value("x", 1e9), origin->first);
  EXPECT_LT(frame.value("y", 1e9), origin->second) << "no title bar above the client";
  EXPECT_GT(frame.value("width", 0.0), 480.0);
  EXPECT_GT(frame.value("height", 0.0), 360.0);
}

// Sends SIGCONT to the application when the test ends, however it ends.
class Thaw {
 public:
  explicit Thaw(harness::ChildProcess& process) : process_(process) {}
  ~Thaw() { (void)process_.signal(SIGCONT); }
  Thaw(const Thaw&) = delete;
  Thaw& operator=(const Thaw&) = delete;

 private:
  harness::ChildProcess& process_;
};

TEST_F(AccessibilityE2E, AnswersWithinTheTimeoutsWhileTheApplicationIsStoppedAndKeepsServing) {
  startTreeApp({"--title", "Frozen"});
  ASSERT_TRUE(settledTree(1));
  Thaw thaw(app_->process());
  ASSERT_TRUE(app_->process().signal(SIGSTOP));
  const auto started = std::chrono::steady_clock::now();
  const json frozen = describe(listed_, kFullBudget);
  const auto took = std::chrono::steady_clock::now() - started;
  // 0.5 s for the application's window list, plus the bus and the window list's own round trips.
  EXPECT_LT(took, std::chrono::seconds(3)) << frozen.dump();
  EXPECT_TRUE(frozen.contains("ok")) << frozen.dump();
  if (!frozen.value("ok", false)) {
    EXPECT_EQ(frozen.value("error", ""), "target_stale");
  }
  const json status = helper().request("status");
  EXPECT_EQ(status.value("ok", false), true) << status.dump();
  ASSERT_TRUE(app_->process().signal(SIGCONT));
  // Once running again the application answers as before.
  const auto thawed = settledTree(kFullBudget);
  ASSERT_TRUE(thawed);
  EXPECT_EQ(budgetedNodes((*thawed)["tree"]), kFullBudget);
}

TEST_F(AccessibilityE2E, AnswersWithinTheTimeoutsWhenTheApplicationIsStoppedBeforeFirstContact) {
  startTreeApp({"--title", "Frozen from the start"});
  const auto window = listedWindow();
  ASSERT_TRUE(window);
  Thaw thaw(app_->process());
  ASSERT_TRUE(app_->process().signal(SIGSTOP));
  const auto started = std::chrono::steady_clock::now();
  const json frozen = describe(*window, kFullBudget);
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_LT(took, std::chrono::seconds(3)) << frozen.dump();
  EXPECT_EQ(frozen.value("ok", true), false) << frozen.dump();
  EXPECT_EQ(frozen.value("error", ""), "target_stale") << frozen.dump();
  const json status = helper().request("status");
  EXPECT_EQ(status.value("ok", false), true) << status.dump();
}

// The suite's desktop loses its window manager, so it has a desktop of its own.
class WindowManagerGoneE2E : public AccessibilityE2E {
 public:
  static void SetUpTestSuite() { startDesktop(defaultDesktopOptions()); }
};

// A window manager that crashes leaves _NET_FRAME_EXTENTS on the client; the frame it
// describes is gone with it, and the listed frame is the client alone again.
TEST_F(WindowManagerGoneE2E, FindsTheWindowByItsBareFrameOnceTheWindowManagerHasGone) {
  startTreeApp({"--title", "Unframed", "--position", "70,90"});
  ASSERT_TRUE(settledTree(1));
  ASSERT_TRUE(desktop().killWindowManager());
  const auto deadline = harness::deadlineIn(kSettleDeadline);
  json response = json::object();
  do {
    const auto window = listedWindow();
    ASSERT_TRUE(window);
    listed_ = *window;
    const auto origin = desktop().root().windowOrigin(app_->xid());
    ASSERT_TRUE(origin);
    const json& frame = listed_["sourceRect"];
    if (frame.value("x", -1.0) != origin->first || frame.value("y", -1.0) != origin->second) {
      continue;  // still listed with the frame the window manager had drawn
    }
    EXPECT_EQ(frame.value("width", 0.0), 480.0) << frame.dump();
    EXPECT_EQ(frame.value("height", 0.0), 360.0) << frame.dump();
    response = describe(listed_, 1);
    if (response.value("ok", false)) break;
  } while (!harness::hasPassed(deadline));
  ASSERT_TRUE(response.value("ok", false))
      << "last answer " << response.dump() << " for the listed window " << listed_.dump();
  EXPECT_EQ(response["result"]["tree"].value("title", ""), "Unframed");
}

}  // namespace
}  // namespace kex::e2e

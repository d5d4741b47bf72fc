// computer.accessibility against the known trees of the GTK and the Qt test applications, read
// over the real accessibility bus: limits, protected fields, what is not showing, fresh node
// ids, the frame or client area that finds the window, and slow, frozen and resumed
// applications.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <utility>
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
// Larger than the least size the tree's widgets need, so that the window has exactly this size.
constexpr const char* kTreeWindowSize = "800x500";
constexpr double kTreeWindowWidth = 800;
constexpr double kTreeWindowHeight = 500;

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

// One of the test applications, which take the same options and build the same tree.
struct Toolkit {
  const char* name;
  const char* program;
  // What the listing calls the application.
  const char* application;
};

// Names the toolkit in test output.
void PrintTo(const Toolkit& toolkit, std::ostream* out) { *out << toolkit.name; }

const Toolkit kGtk{"Gtk", KEX_TEST_APP_PATH, "Kex-test-app"};
const Toolkit kQt{"Qt", KEX_QT_TEST_APP_PATH, "kex-qt-test-app"};

// The connected Unix sockets as `ss -xpn` lists them: each socket's inode, its peer's inode,
// and the processes holding it.
struct UnixSocket {
  std::string inode;
  std::string peer;
  std::set<pid_t> holders;
};

std::vector<UnixSocket> unixSockets(harness::VirtualDesktop& desktop) {
  const auto listing = desktop.runTool({"ss", "-xpn"});
  std::vector<UnixSocket> sockets;
  std::istringstream lines(listing.output);
  std::string line;
  std::getline(lines, line);  // the heading
  while (std::getline(lines, line)) {
    // Netid State Recv-Q Send-Q LocalAddress LocalInode PeerAddress PeerInode [users:(...)]
    std::istringstream fields(line);
    std::string netid, state, received, sent, local, inode, remote, peer;
    if (!(fields >> netid >> state >> received >> sent >> local >> inode >> remote >> peer)) {
      continue;
    }
    UnixSocket socket{inode, peer, {}};
    for (auto at = line.find("pid="); at != std::string::npos; at = line.find("pid=", at + 4)) {
      socket.holders.insert(static_cast<pid_t>(std::atol(line.c_str() + at + 4)));
    }
    sockets.push_back(std::move(socket));
  }
  return sockets;
}

// The processes at the other end of each connected socket the process holds.
std::multiset<pid_t> peersOf(harness::VirtualDesktop& desktop, pid_t pid) {
  const auto sockets = unixSockets(desktop);
  std::map<std::string, std::set<pid_t>> holdersByInode;
  for (const auto& socket : sockets) holdersByInode[socket.inode] = socket.holders;
  std::multiset<pid_t> peers;
  for (const auto& socket : sockets) {
    if (!socket.holders.contains(pid)) continue;
    const auto other = holdersByInode.find(socket.peer);
    if (other == holdersByInode.end()) continue;
    peers.insert(other->second.begin(), other->second.end());
  }
  return peers;
}

class AccessibilityE2E : public E2ETest, public ::testing::WithParamInterface<Toolkit> {
 protected:
  void startTreeApp(std::vector<std::string> extraArgs = {}) {
    app_ = startApp(std::move(extraArgs));
  }

  [[nodiscard]] std::unique_ptr<harness::TestApp> startApp(std::vector<std::string> extraArgs) {
    std::vector<std::string> args{"--tree", "--size", kTreeWindowSize};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    return desktop().startAppAt(GetParam().program, args);
  }

  // The listed window of the test application (the one with the title, when given), once the
  // listing shows it.
  [[nodiscard]] std::optional<json> listedWindow(const std::string& title = "") {
    const auto deadline = harness::deadlineIn(kSettleDeadline);
    while (!harness::hasPassed(deadline)) {
      const json response = requestFresh("computer.windows");
      if (!response.value("ok", false)) continue;
      for (const auto& window : response["result"]["windows"]) {
        if (window.value("application", "") != GetParam().application) continue;
        if (title.empty() || window.value("title", "") == title) return window;
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
  [[nodiscard]] std::optional<json> settledTree(int maxNodes, const std::string& title = "") {
    const auto deadline = harness::deadlineIn(kSettleDeadline);
    while (!harness::hasPassed(deadline)) {
      const auto window = listedWindow(title);
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

TEST_P(AccessibilityE2E, DescribesTheWindowAsAFrameWithTheListedTitleCutTo512Characters) {
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

TEST_P(AccessibilityE2E, SpendsTheWholeBudgetOnATreeLargerThanIt) {
  startTreeApp();
  const auto result = settledTree(kFullBudget);
  ASSERT_TRUE(result);
  EXPECT_EQ(budgetedNodes((*result)["tree"]), kFullBudget);
}

TEST_P(AccessibilityE2E, DescribesNoMoreNodesThanASmallBudgetAllows) {
  startTreeApp();
  const auto result = settledTree(5);
  ASSERT_TRUE(result);
  EXPECT_EQ(budgetedNodes((*result)["tree"]), 5);
}

TEST_P(AccessibilityE2E, MarksWhatLiesBelowDepth12AsTruncated) {
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

TEST_P(AccessibilityE2E, ListsTheLongListInOrderUntilTheBudgetEnds) {
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

TEST_P(AccessibilityE2E, ShowsThePasswordEntryOnlyAsProtected) {
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

TEST_P(AccessibilityE2E, GivesEveryNodeANewIdOnTheNextRequest) {
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

// The window is found only when its accessible extents equal the listed frame (as GTK reports
// them) or the client area inside its decorations (as Qt reports them), and its title the listed
// title, exactly; so a description at all shows that they agree.
TEST_P(AccessibilityE2E, FindsTheWindowByItsDecoratedFrameOrItsClientArea) {
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
  EXPECT_GT(frame.value("width", 0.0), kTreeWindowWidth);
  EXPECT_GT(frame.value("height", 0.0), kTreeWindowHeight);
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

TEST_P(AccessibilityE2E, AnswersWithinTheTimeoutsWhileTheApplicationIsStoppedAndKeepsServing) {
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

TEST_P(AccessibilityE2E, AnswersWithinTheTimeoutsWhenTheApplicationIsStoppedBeforeFirstContact) {
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

// A closed menu's items and a hidden button exist for accessibility but are not on screen.
TEST_P(AccessibilityE2E, LeavesOutWhatIsNotShowingAndDescribesAClosedMenuWithoutChildren) {
  startTreeApp();
  const auto result = settledTree(kFullBudget);
  ASSERT_TRUE(result);
  const json& tree = (*result)["tree"];
  for (const char* hidden : {"New", "Open", "Quit", "Cut", "Paste", "Hidden"}) {
    EXPECT_TRUE(nodesTitled(tree, hidden).empty()) << hidden << " was described";
  }
  for (const char* menu : {"File", "Edit"}) {
    const auto found = nodesTitled(tree, menu);
    ASSERT_EQ(found.size(), 1u) << menu;
    EXPECT_EQ((*found[0])["children"], json::array()) << menu;
  }
  // The budget goes to what is on screen, in order, down to the long list.
  EXPECT_EQ(budgetedNodes(tree), kFullBudget);
  EXPECT_EQ(nodesTitled(tree, "Item 1").size(), 1u);
}

// Every read of the application waits while its main loop is busy for 0.7 s: the description is
// complete, not a tree of defaults.
TEST_P(AccessibilityE2E, WaitsForAnApplicationThatAnswersSlowlyAndDescribesItFully) {
  startTreeApp({"--title", "Slow application", "--slow-name", "700"});
  const auto result = settledTree(kFullBudget);
  ASSERT_TRUE(result);
  const json& tree = (*result)["tree"];
  EXPECT_EQ(budgetedNodes(tree), kFullBudget);
  forEachNode(tree, [](const json& node, int) {
    EXPECT_NE(node.value("role", ""), "unreadable") << node.dump();
  });
  const auto slow = nodesTitled(tree, "Slow");
  ASSERT_EQ(slow.size(), 1u);
  EXPECT_EQ(slow[0]->value("role", ""), "label");
  EXPECT_EQ(nodesTitled(tree, "Item 1").size(), 1u);
}

// An application that did not answer in one request is asked again in the next.
TEST_P(AccessibilityE2E, DescribesAResumedApplicationAtTheFirstRequestAfterItsSilence) {
  startTreeApp({"--title", "Resumed"});
  ASSERT_TRUE(settledTree(1));
  {
    Thaw thaw(app_->process());
    ASSERT_TRUE(app_->process().signal(SIGSTOP));
    const json frozen = describe(listed_, kFullBudget);
    EXPECT_EQ(frozen.value("ok", true), false) << frozen.dump();
  }
  const json resumed = describe(listed_, kFullBudget);
  ASSERT_TRUE(resumed.value("ok", false)) << resumed.dump();
  EXPECT_EQ(budgetedNodes(resumed["result"]["tree"]), kFullBudget);
}

// Each application is read through the accessibility bus: no connection of its own is opened
// to it, which its accessibility bridge would keep for the rest of its life.
TEST_P(AccessibilityE2E, OpensNoConnectionOfItsOwnToAnApplicationItReads) {
  startTreeApp({"--title", "First"});
  ASSERT_TRUE(settledTree(kFullBudget, "First"));
  const auto second = startApp({"--title", "Second"});
  ASSERT_TRUE(settledTree(kFullBudget, "Second"));
  const auto peers = peersOf(desktop(), helper().process().pid());
  // It does talk to the buses and the X server: the listing saw its sockets.
  EXPECT_FALSE(peers.empty());
  EXPECT_EQ(peers.count(app_->process().pid()), 0u);
  EXPECT_EQ(peers.count(second->process().pid()), 0u);
}

INSTANTIATE_TEST_SUITE_P(Toolkits, AccessibilityE2E, ::testing::Values(kGtk, kQt),
                         [](const ::testing::TestParamInfo<Toolkit>& info) {
                           return std::string(info.param.name);
                         });

// The suite's desktop loses its window manager, so it has a desktop of its own.
class WindowManagerGoneE2E : public AccessibilityE2E {
 public:
  static void SetUpTestSuite() { startDesktop(defaultDesktopOptions()); }

 protected:
  // The window's width and height as xwininfo reports them.
  [[nodiscard]] std::optional<std::pair<double, double>> clientSize(std::uint32_t xid) {
    const auto info = desktop().runTool({"xwininfo", "-id", std::to_string(xid)});
    const auto width = info.output.find("Width:");
    const auto height = info.output.find("Height:");
    if (info.exitStatus != 0 || width == std::string::npos || height == std::string::npos) {
      return std::nullopt;
    }
    return std::make_pair(std::atof(info.output.c_str() + width + 6),
                          std::atof(info.output.c_str() + height + 7));
  }
};

// A window manager that crashes leaves _NET_FRAME_EXTENTS on the client; the frame it
// describes is gone with it, and the listed frame is the client alone again.
TEST_P(WindowManagerGoneE2E, FindsTheWindowByItsBareFrameOnceTheWindowManagerHasGone) {
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
    // Without its frame the window keeps its own size, which the toolkit may have changed.
    const auto size = clientSize(app_->xid());
    ASSERT_TRUE(size);
    EXPECT_EQ(frame.value("width", 0.0), size->first) << frame.dump();
    EXPECT_EQ(frame.value("height", 0.0), size->second) << frame.dump();
    response = describe(listed_, 1);
    if (response.value("ok", false)) break;
  } while (!harness::hasPassed(deadline));
  ASSERT_TRUE(response.value("ok", false))
      << "last answer " << response.dump() << " for the listed window " << listed_.dump();
  EXPECT_EQ(response["result"]["tree"].value("title", ""), "Unframed");
}

INSTANTIATE_TEST_SUITE_P(Gtk, WindowManagerGoneE2E, ::testing::Values(kGtk),
                         [](const ::testing::TestParamInfo<Toolkit>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace kex::e2e

#include "main/observe/observation.h"

#include <gtest/gtest.h>

#include "tests/observe/observe_fixture.h"

namespace kex::testing {
namespace {

using std::chrono::microseconds;
using std::chrono::seconds;

TEST_F(ObserveTest, ListsOrdinaryApplicationWindowsWithTitleApplicationAndFrame) {
  desktop.addWindow(kAppPid, {0, 0, 300, 200}, std::nullopt, "Demo");
  desktop.window(desktop.addWindow(kAppPid, {0, 0, 10, 10}, "panel")).info.layer = 20;
  desktop.addWindow(kAppPid, {0, 0, 0, 10}, "zero width");
  desktop.addProcess(400, kHostBundle);
  desktop.addWindow(400, {0, 0, 50, 50}, "host window");

  const auto windows = ok("computer.windows")["windows"];
  ASSERT_EQ(windows.size(), 2u);
  EXPECT_EQ(windows[0]["title"], "Demo");
  EXPECT_EQ(windows[0]["application"], "Demo");
  EXPECT_EQ(windows[0]["sourceRect"],
            (Json{{"x", 100.0}, {"y", 50.0}, {"width", 800.0}, {"height", 600.0}}));
  EXPECT_EQ(windows[0]["targetId"].get<std::string>().size(), 36u);
  EXPECT_EQ(windows[1]["title"], "");
}

TEST_F(ObserveTest, ListsDisplaysWithTheRevisionTheirTargetsKeep) {
  desktop.addDisplay({9, {1920, -200, 1280, 1024}, 2560, 2048, 90});
  const auto listing = ok("computer.displays");
  EXPECT_EQ(listing["topologyRevision"], topology(desktop.displays()));
  ASSERT_EQ(listing["displays"].size(), 2u);
  const auto& second = listing["displays"][1];
  EXPECT_EQ(second["displayId"], "9");
  EXPECT_EQ(second["pixelWidth"], 2560);
  EXPECT_EQ(second["pixelHeight"], 2048);
  EXPECT_EQ(second["rotation"], 90.0);
  EXPECT_EQ(second["sourceRect"]["y"], -200.0);
}

TEST_F(ObserveTest, ANewListingReplacesTheWholeGenerationOfIdentifiers) {
  const auto first = listedTarget();
  const auto captureId = ok("computer.capture", {{"targetId", first}})["captureId"];
  const auto second = listedTarget();
  EXPECT_NE(first, second);
  EXPECT_EQ(failure("computer.capture", {{"targetId", first}}), "target_stale");
  EXPECT_TRUE(computer.observation().registries().captures.empty());
  EXPECT_EQ(ok("computer.capture", {{"targetId", second}})["width"], 800);
}

TEST_F(ObserveTest, AcceptsAWindowTargetAtExactlyOneHundredTwentySecondsAndNotAfter) {
  const auto target = listedTarget();
  desktop.advance(seconds(120));
  EXPECT_EQ(failure("computer.capture", {{"targetId", target}}), "succeeded");
  desktop.advance(microseconds(1));
  EXPECT_EQ(failure("computer.capture", {{"targetId", target}}), "target_stale");
}

TEST_F(ObserveTest, RefusesADisplayTargetAtExactlyOneHundredTwentySeconds) {
  const auto target = ok("computer.displays")["displays"][0]["targetId"];
  desktop.advance(seconds(120) - microseconds(1));
  EXPECT_EQ(failure("computer.capture", {{"targetId", target}}), "succeeded");
  desktop.advance(microseconds(1));
  EXPECT_EQ(failure("computer.capture", {{"targetId", target}}), "target_stale");
}

TEST_F(ObserveTest, AnyChangeToAListedWindowMakesItsTargetStale) {
  const std::function<void(MemoryWindow&)> changes[] = {
      [](MemoryWindow& w) { w.info.frame.x += 1; },
      [](MemoryWindow& w) { w.info.frame.height -= 0.5; },
      [](MemoryWindow& w) { w.info.title = "Renamed"; },
      [](MemoryWindow& w) { w.onScreen = false; },
  };
  for (const auto& change : changes) {
    const auto target = listedTarget();
    auto saved = desktop.window(appWindow);
    change(desktop.window(appWindow));
    EXPECT_EQ(failure("computer.capture", {{"targetId", target}}), "target_stale");
    desktop.window(appWindow) = saved;
    EXPECT_EQ(failure("computer.capture", {{"targetId", target}}), "succeeded");
  }
}

TEST_F(ObserveTest, ARelaunchedProcessOrAChangedArrangementMakesTargetsStale) {
  auto target = listedTarget();
  desktop.relaunchProcess(kAppPid);
  EXPECT_EQ(failure("computer.capture", {{"targetId", target}}), "target_stale");

  target = listedTarget();
  const auto args = Json{{"sessionId", computer.sessionId()},
                         {"topologyRevision", topology(desktop.displays())},
                         {"targetId", target}};
  desktop.moveDisplay(1, 0, 10);
  EXPECT_EQ(failure("computer.capture", {{"targetId", target}}), "target_stale");
  desktop.moveDisplay(1, 0, 0);
  EXPECT_NO_THROW((void)computer.invoke("computer.capture", args));
}

TEST_F(ObserveTest, ListsAnotherUsersWindowButNeverVerifiesIt) {
  desktop.addProcess(500, "/usr/bin/other");
  desktop.setProcessUser(500, 0);
  desktop.addWindow(500, {0, 0, 400, 300}, "Other");
  const auto target = listedTarget("Other");
  EXPECT_EQ(failure("computer.capture", {{"targetId", target}}), "target_stale");
}

TEST_F(ObserveTest, RevokedCaptureAccessRefusesListingsButStalesExistingTargets) {
  const auto target = listedTarget();
  desktop.revoke(Permission::capture);
  EXPECT_EQ(failure("computer.windows"), "permission_required");
  EXPECT_EQ(failure("computer.displays"), "permission_required");
  EXPECT_EQ(failure("computer.capture", {{"targetId", target}}), "target_stale");
}

TEST_F(ObserveTest, AFailedListingKeepsThePreviousGeneration) {
  const auto target = listedTarget();
  desktop.setFailing(Op::shareableContent);
  EXPECT_THROW((void)computer.invoke("computer.windows",
                                     {{"sessionId", computer.sessionId()},
                                      {"topologyRevision", topology(desktop.displays())}}),
               platform::PlatformError);
  desktop.setFailing(Op::shareableContent, false);
  EXPECT_EQ(failure("computer.capture", {{"targetId", target}}), "succeeded");
}

TEST_F(ObserveTest, AStoppedControllerRefusesWindowCapturesButNotListings) {
  const auto target = listedTarget();
  safety.cancel(codes::humanInterrupted);
  EXPECT_EQ(failure("computer.capture", {{"targetId", target}}), "human_interrupted");
  EXPECT_EQ(failure("computer.windows"), "succeeded");
  const auto display = ok("computer.displays")["displays"][0]["targetId"];
  EXPECT_EQ(failure("computer.capture", {{"targetId", display}}), "succeeded");
}

TEST_F(ObserveTest, CutsTitlesAtFiveHundredTwelveUserPerceivedCharacters) {
  std::string title;
  for (int i = 0; i < 600; ++i) title += "e\xCC\x81";  // e with a combining acute accent
  desktop.window(appWindow).info.title = title;
  const auto listed = ok("computer.windows")["windows"][0]["title"].get<std::string>();
  EXPECT_EQ(listed, title.substr(0, 512 * 3));
}

class FixtureObserveTest : public ObserveTest {
 protected:
  FixtureObserveTest() : ObserveTest(kAppPid) {
    desktop.addProcess(301, "/usr/bin/other");
    desktop.addWindow(301, {0, 0, 100, 100}, "Other");
  }
};

TEST_F(FixtureObserveTest, ListsOnlyTheFixtureProcessAndRefusesDisplayCapture) {
  const auto windows = ok("computer.windows")["windows"];
  ASSERT_EQ(windows.size(), 1u);
  EXPECT_EQ(windows[0]["title"], "Demo");
  const auto display = ok("computer.displays")["displays"][0]["targetId"];
  EXPECT_EQ(failure("computer.capture", {{"targetId", display}}), "protected_target");
}

}  // namespace
}  // namespace kex::testing

// computer.pointer on a private desktop: clicks land where the capture's transform says, the
// guards refuse covered, moved and unfocused windows before anything is posted, and drags and
// scrolls reach the application as the events they are.
#include <signal.h>

#include <string>

#include "tests/e2e/input_fixture.h"

namespace kex::e2e {
namespace {

using PointerE2E = InputE2E;

std::string buttonLine(std::pair<int, int> point) {
  return "button 1 " + std::to_string(point.first) + " " + std::to_string(point.second);
}

// The capture pixel that shows the screen point, for a capture at full size.
std::pair<long, long> pixelAt(const Observed& observed, int screenX, int screenY) {
  const json& frame = observed.capture["sourceRect"];
  return {screenX - frame["x"].get<long>(), screenY - frame["y"].get<long>()};
}

TEST_F(PointerE2E, ClicksLandWhereTheTransformPutsThemIncludingTheCorners) {
  auto app = startFocusedApp({"--title", "Clicks", "--bare", "--undecorated", "--position",
                              "100,80", "--size", "400x300"});
  const auto observed = observe("Clicks");
  ASSERT_TRUE(observed);
  const long width = observed->capture["width"];
  const long height = observed->capture["height"];
  ASSERT_EQ(width, 400);
  const auto origin = desktop().root().windowOrigin(app->xid());
  ASSERT_TRUE(origin);
  for (const auto& [x, y] : std::vector<std::pair<long, long>>{
           {0, 0}, {width - 1, height - 1}, {123, 77}, {width - 1, 0}}) {
    const json response = pointer(*observed, "click", x, y);
    ASSERT_EQ(response.value("ok", false), true) << response.dump();
    EXPECT_EQ(response["result"], (json{{"verified", false}}));
    EXPECT_EQ(nextLineOf(*app, "button "), buttonLine(windowPointOf(*observed, x, y, *origin)))
        << "pixel " << x << "," << y;
    EXPECT_TRUE(nextLineOf(*app, "release 1"));
  }
  // A capture at half the size: each pixel covers two points.
  const auto half = observe("Clicks", 200);
  ASSERT_TRUE(half);
  ASSERT_EQ(pointer(*half, "click", 199, 149).value("ok", false), true);
  EXPECT_EQ(nextLineOf(*app, "button "), buttonLine({398, 298}));
}

TEST_F(PointerE2E, AClickOnADecoratedWindowLandsInsideItsDecorations) {
  auto app = startFocusedApp({"--title", "Decorated", "--bare", "--size", "300x200"});
  const auto observed = observe("Decorated");
  ASSERT_TRUE(observed);
  const auto origin = desktop().root().windowOrigin(app->xid());
  ASSERT_TRUE(origin);
  const long x = observed->capture["width"].get<long>() / 2;
  const long y = observed->capture["height"].get<long>() / 2;
  ASSERT_EQ(pointer(*observed, "click", x, y).value("ok", false), true);
  EXPECT_EQ(nextLineOf(*app, "button "), buttonLine(windowPointOf(*observed, x, y, *origin)));
}

TEST_F(PointerE2E, AClickOnTheWindowsOwnTitleBarIsAcceptedAndTheWindowStays) {
  auto app = startFocusedApp(
      {"--title", "Title bar", "--bare", "--position", "100,100", "--size", "300x200"});
  expectTitleBarClickAccepted(*app, "Title bar");
}

TEST_F(PointerE2E, RefusesAPointUnderAWindowKeptAboveAndClicksBesideIt) {
  auto app = startFocusedApp({"--title", "Below", "--bare", "--undecorated", "--position",
                              "100,100", "--size", "400x300"});
  auto cover = startFocusedApp({"--title", "Kept above", "--bare", "--undecorated", "--above",
                                "--position", "150,150", "--size", "100x100"});
  // The covered window takes the focus back; the cover stays above it.
  const std::string below = listedTarget("Below");
  ASSERT_EQ(requestFresh("computer.focus", {{"targetId", below}}).value("ok", false), true);
  ASSERT_TRUE(app->waitForLine("focus-in", harness::deadlineIn(kAppEventDeadline)));
  const auto observed = observe("Below");
  ASSERT_TRUE(observed);
  const auto [coveredX, coveredY] = pixelAt(*observed, 200, 200);
  expectRefusedUndispatched(pointer(*observed, "click", coveredX, coveredY), "target_occluded");
  expectRefusedUndispatched(pointer(*observed, "move", coveredX, coveredY), "target_occluded");
  ASSERT_EQ(pointer(*observed, "click", 10, 10).value("ok", false), true);
  // The refused click never reached anyone: the next press either window saw is the allowed one.
  EXPECT_EQ(nextLineOf(*app, "button "), buttonLine({10, 10}));
  EXPECT_FALSE(cover->waitForLine("button ", harness::deadlineIn(std::chrono::milliseconds(0))));
}

TEST_F(PointerE2E, RefusesAPointUnderAnotherApplicationsPopup) {
  auto app = startFocusedApp({"--title", "Under popup", "--bare", "--undecorated", "--position",
                              "100,100", "--size", "400x300"});
  auto popup = desktop().startApp(
      {"--title", "Popup", "--bare", "--popup", "--position", "300,300", "--size", "80x60"});
  const auto observed = observe("Under popup");
  ASSERT_TRUE(observed);
  const auto [x, y] = pixelAt(*observed, 320, 320);
  expectRefusedUndispatched(pointer(*observed, "click", x, y), "target_occluded");
  ASSERT_EQ(pointer(*observed, "click", 5, 5).value("ok", false), true);
  EXPECT_EQ(nextLineOf(*app, "button "), buttonLine({5, 5}));
  EXPECT_FALSE(popup->waitForLine("button ", harness::deadlineIn(std::chrono::milliseconds(0))));
}

TEST_F(PointerE2E, RefusesAWindowMovedAfterItsCapture) {
  auto app = startFocusedApp({"--title", "Moving", "--bare", "--position", "100,100"});
  const auto observed = observe("Moving");
  ASSERT_TRUE(observed);
  ASSERT_EQ(xdotool({"windowmove", "--sync", std::to_string(app->xid()), "160", "140"}).exitStatus,
            0);
  expectRefusedUndispatched(pointer(*observed, "click", 50, 50), "target_stale");
  const auto again = observe("Moving");
  ASSERT_TRUE(again);
  ASSERT_EQ(pointer(*again, "click", 50, 50).value("ok", false), true);
  const auto origin = desktop().root().windowOrigin(app->xid());
  ASSERT_TRUE(origin);
  EXPECT_EQ(nextLineOf(*app, "button "), buttonLine(windowPointOf(*again, 50, 50, *origin)));
}

TEST_F(PointerE2E, RefusesAWindowWhoseApplicationIsNoLongerInFront) {
  auto app = startFocusedApp(
      {"--title", "Left behind", "--bare", "--position", "100,100", "--size", "300x200"});
  const auto observed = observe("Left behind");
  ASSERT_TRUE(observed);
  auto other = startFocusedApp(
      {"--title", "In front", "--bare", "--position", "600,100", "--size", "300x200"});
  ASSERT_TRUE(app->waitForLine("focus-out", harness::deadlineIn(kAppEventDeadline)));
  expectRefusedUndispatched(pointer(*observed, "click", 50, 50), "focus_changed");
  EXPECT_FALSE(app->waitForLine("button ", harness::deadlineIn(std::chrono::milliseconds(0))));
  EXPECT_FALSE(other->waitForLine("button ", harness::deadlineIn(std::chrono::milliseconds(0))));
}

TEST_F(PointerE2E, ADragPressesAtTheStartMovesTwentyTimesAndReleasesAtTheEnd) {
  auto app = startFocusedApp(
      {"--title", "Drag", "--bare", "--undecorated", "--position", "100,100", "--size", "400x300"});
  const auto observed = observe("Drag");
  ASSERT_TRUE(observed);
  const json response = pointer(*observed, "drag", 50, 60, {{"deltaX", 200}, {"deltaY", 100}});
  ASSERT_EQ(response.value("ok", false), true) << response.dump();
  EXPECT_EQ(nextLineOf(*app, "button "), "button 1 50 60");
  for (int step = 1; step <= 20; ++step) {
    const std::string expected =
        "motion " + std::to_string(50 + 10 * step) + " " + std::to_string(60 + 5 * step);
    EXPECT_EQ(nextLineOf(*app, "motion "), expected);
  }
  EXPECT_EQ(nextLineOf(*app, "release "), "release 1 250 160");
  // Nothing moved with the button down after the release.
  const auto& lines = app->lines();
  const auto release = std::find(lines.begin(), lines.end(), "release 1 250 160");
  EXPECT_EQ(std::count_if(lines.begin(), release,
                          [](const std::string& line) { return line.starts_with("motion "); }),
            20)
      << ::testing::PrintToString(lines);
}

TEST_F(PointerE2E, ScrollsInWholeLinesWithTheDirectionsOfTheDeltas) {
  auto app = startFocusedApp({"--title", "Scroll", "--bare", "--undecorated", "--position",
                              "100,100", "--size", "300x200"});
  const auto observed = observe("Scroll");
  ASSERT_TRUE(observed);
  ASSERT_EQ(pointer(*observed, "scroll", 30, 40, {{"deltaY", 240}}).value("ok", false), true);
  ASSERT_EQ(pointer(*observed, "scroll", 30, 40, {{"deltaX", 120}}).value("ok", false), true);
  EXPECT_EQ(nextLineOf(*app, "scroll "), "scroll up 30 40");
  EXPECT_EQ(nextLineOf(*app, "scroll "), "scroll up 30 40");
  EXPECT_EQ(nextLineOf(*app, "scroll "), "scroll right 30 40");
  expectRefusedUndispatched(pointer(*observed, "scroll", 30, 40, {{"deltaY", 100}}),
                            "invalid_arguments");
}

TEST_F(PointerE2E, ADoubleClickReachesTheApplicationAsTwoPressesAtOnePoint) {
  auto app = startFocusedApp({"--title", "Double", "--bare", "--undecorated", "--position",
                              "100,100", "--size", "300x200"});
  const auto observed = observe("Double");
  ASSERT_TRUE(observed);
  ASSERT_EQ(pointer(*observed, "doubleClick", 70, 80).value("ok", false), true);
  EXPECT_EQ(nextLineOf(*app, "button "), "button 1 70 80");
  EXPECT_EQ(nextLineOf(*app, "release "), "release 1 70 80");
  EXPECT_EQ(nextLineOf(*app, "button "), "button 1 70 80");
  EXPECT_EQ(nextLineOf(*app, "release "), "release 1 70 80");
}

}  // namespace
}  // namespace kex::e2e

// computer.pointer: the pixel-to-point mapping, clicks, double clicks, scrolling, drags, and the
// release at the end of every request however it ends.
#include <gtest/gtest.h>

#include "main/control/capture_mapping.h"
#include "tests/control/control_fixture.h"

namespace kex::testing {
namespace {

using platform::Event;
using platform::EventType;
using platform::Point;

class PointerTest : public ControlTest {
 protected:
  void SetUp() override { capture = captureOf(); }

  Outcome act(const std::string& action, Json args = Json::object()) {
    args["captureId"] = capture;
    args["action"] = action;
    if (!args.contains("x")) args["x"] = 100;
    if (!args.contains("y")) args["y"] = 65;
    return run("computer.pointer", std::move(args));
  }

  std::vector<EventType> postedTypes() {
    std::vector<EventType> types;
    for (const auto& event : desktop.posted()) types.push_back(event.type);
    return types;
  }

  std::string capture;
};

TEST_F(PointerTest, MapsTheTopLeftPixelToTheFramesCornerAndScalesTheRest) {
  ASSERT_EQ(act("move", {{"x", 0}, {"y", 0}}).code, "");
  EXPECT_EQ(desktop.posted().back().location, (Point{100, 50}));
  capture = captureOf("Demo", 400);  // 400 by 300 pixels of an 800 by 600 frame
  ASSERT_EQ(act("move", {{"x", 399}, {"y", 299}}).code, "");
  EXPECT_EQ(desktop.posted().back().location, (Point{898, 648}));
  EXPECT_EQ(captureToScreen(1, 2, 3, 7, {10, 20, 100, 100}),
            (Point{10 + 100.0 / 3, 20 + 200.0 / 7}));
}

TEST_F(PointerTest, RefusesPixelsOutsideTheImageWithoutPostingOrReleasing) {
  const std::vector<Json> outside = {{{"x", 800}, {"y", 10}},  {{"x", 10}, {"y", -1}},
                                     {{"x", 10}, {"y", 600}},  {{"x", 10.5}, {"y", 10}},
                                     {{"x", "10"}, {"y", 10}}, {{"y", 10}}};
  for (const auto& coordinates : outside) {
    Json args = coordinates;
    args["captureId"] = capture;
    args["action"] = "click";
    const auto outcome = run("computer.pointer", args);
    EXPECT_EQ(outcome.code, "invalid_arguments") << coordinates;
    EXPECT_FALSE(outcome.dispatched);
  }
  EXPECT_TRUE(desktop.posted().empty());
  // Only the arming exchange of the watchdog's start: nothing was released, so the watchdog
  // heard nothing else.
  ASSERT_EQ(watchdog->exchanges.size(), 1u);
  EXPECT_TRUE(watchdog->exchanges[0].empty());
}

TEST_F(PointerTest, AcceptsIntegralNumbersWrittenWithAFraction) {
  EXPECT_EQ(act("move", {{"x", 10.0}, {"y", 20.0}}).code, "");
  EXPECT_EQ(desktop.posted().back().location, (Point{110, 70}));
}

TEST_F(PointerTest, ClickPostsPressAndReleaseWithClickStateOneAtThePoint) {
  const auto outcome = act("click");
  EXPECT_EQ(outcome.code, "");
  EXPECT_EQ(outcome.result, (Json{{"verified", false}}));
  const auto posted = desktop.posted();
  ASSERT_EQ(posted.size(), 2u);
  EXPECT_EQ(posted[0].type, EventType::leftMouseDown);
  EXPECT_EQ(posted[1].type, EventType::leftMouseUp);
  for (const auto& event : posted) {
    EXPECT_EQ(event.location, (Point{200, 115}));
    EXPECT_EQ(event.clickState, 1);
  }
  EXPECT_EQ(safety.heldCount(), 0u);
}

TEST_F(PointerTest, DoubleClickPostsTwoPairsWithClickStatesOneAndTwoAndAHitTestBeforeEachPress) {
  desktop.clearCalls();
  ASSERT_EQ(act("doubleClick").code, "");
  const auto posted = desktop.posted();
  ASSERT_EQ(posted.size(), 4u);
  const std::vector<std::pair<EventType, std::int64_t>> expected = {{EventType::leftMouseDown, 1},
                                                                    {EventType::leftMouseUp, 1},
                                                                    {EventType::leftMouseDown, 2},
                                                                    {EventType::leftMouseUp, 2}};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(posted[i].type, expected[i].first);
    EXPECT_EQ(posted[i].clickState, expected[i].second);
    EXPECT_EQ(posted[i].location, (Point{200, 115}));
  }
  std::vector<Op> order;
  for (const Op op : desktop.calls()) {
    if (op == Op::elementAtPosition || op == Op::post) order.push_back(op);
  }
  EXPECT_EQ(order, (std::vector<Op>{Op::elementAtPosition, Op::post, Op::post,
                                    Op::elementAtPosition, Op::post, Op::post}));
}

TEST_F(PointerTest, ASecondClickThatFailsItsHitTestLeavesTheFirstDone) {
  int ups = 0;
  desktop.setPostHook([&](const Event& event) {
    if (event.type == EventType::leftMouseUp && ++ups == 1) coverWith({150, 80, 200, 200});
  });
  const auto outcome = act("doubleClick");
  EXPECT_EQ(outcome.code, "target_occluded");
  EXPECT_TRUE(outcome.dispatched);
  EXPECT_EQ(postedTypes(),
            (std::vector<EventType>{EventType::leftMouseDown, EventType::leftMouseUp}));
}

// The person's input stops control and may itself spoil what the request checks next (here a
// window of theirs covers the point of the second click): the answer is the interruption, which
// tells the host that control is over.
TEST_F(PointerTest, AHitTestThatFailsAfterHumanInputIsReportedAsTheInterruption) {
  int downs = 0;
  desktop.setPostHook([&](const Event& event) {
    if (event.type != EventType::leftMouseDown || ++downs != 1) return;
    safety.cancel("human_interrupted");
    coverWith({150, 80, 200, 200});
  });
  const auto outcome = act("doubleClick");
  EXPECT_EQ(outcome.code, "human_interrupted");
  EXPECT_TRUE(outcome.dispatched);
  EXPECT_EQ(postedTypes(),
            (std::vector<EventType>{EventType::leftMouseDown, EventType::leftMouseUp}));
}

TEST_F(PointerTest, ScrollMovesToThePointThenPostsTheWheelCounts) {
  ASSERT_EQ(act("scroll", {{"deltaY", 240}}).code, "");
  auto posted = desktop.posted();
  ASSERT_EQ(posted.size(), 2u);
  EXPECT_EQ(posted[0].type, EventType::mouseMoved);
  EXPECT_EQ(posted[0].location, (Point{200, 115}));
  EXPECT_EQ(posted[1].type, EventType::scrollWheel);
  EXPECT_EQ(posted[1].scrollVertical, 2);
  EXPECT_EQ(posted[1].scrollHorizontal, 0);

  ASSERT_EQ(act("scroll", {{"deltaX", 120}, {"deltaY", -360}}).code, "");
  EXPECT_EQ(desktop.posted().back().scrollHorizontal, -1);
  EXPECT_EQ(desktop.posted().back().scrollVertical, -3);
  ASSERT_EQ(act("scroll", {{"deltaX", -240}}).code, "");
  EXPECT_EQ(desktop.posted().back().scrollHorizontal, 2);
}

TEST_F(PointerTest, ScrollOfZeroStillMovesAndPostsAnEmptyWheelEvent) {
  ASSERT_EQ(act("scroll").code, "");
  EXPECT_EQ(postedTypes(), (std::vector<EventType>{EventType::mouseMoved, EventType::scrollWheel}));
  EXPECT_EQ(desktop.posted().back().scrollVertical, 0);
  EXPECT_EQ(desktop.posted().back().scrollHorizontal, 0);
}

TEST_F(PointerTest, RefusesScrollAmountsThatAreNoMultipleOf120OrDoNotFitAWheelEvent) {
  desktop.setMaxScrollLines(50);
  const std::int64_t tooMany = 120LL * 51;
  for (const Json& deltas : std::vector<Json>{{{"deltaY", 100}},
                                              {{"deltaX", -1}},
                                              {{"deltaY", tooMany}},
                                              {{"deltaY", -tooMany}},
                                              {{"deltaX", tooMany}},
                                              {{"deltaX", -tooMany}},
                                              {{"deltaY", 120LL * (1LL << 31)}},
                                              {{"deltaY", 1e30}},
                                              {{"deltaY", 120.5}},
                                              {{"deltaY", "120"}}}) {
    const auto outcome = act("scroll", deltas);
    EXPECT_EQ(outcome.code, "invalid_arguments") << deltas;
    EXPECT_FALSE(outcome.dispatched) << deltas;
  }
  EXPECT_TRUE(desktop.posted().empty());
  // The largest amounts the desktop's wheel events carry are taken, either way.
  ASSERT_EQ(act("scroll", {{"deltaX", 120 * 50}, {"deltaY", -120 * 50}}).code, "");
  EXPECT_EQ(desktop.posted().back().scrollHorizontal, -50);
  EXPECT_EQ(desktop.posted().back().scrollVertical, -50);
  ASSERT_EQ(act("scroll", {{"deltaX", -120 * 50}, {"deltaY", 120 * 50}}).code, "");
  EXPECT_EQ(desktop.posted().back().scrollHorizontal, 50);
  EXPECT_EQ(desktop.posted().back().scrollVertical, 50);
}

TEST_F(PointerTest, DragPressesMovesInTwentyStepsAndReleasesAtTheEnd) {
  desktop.clearCalls();
  const auto started = desktop.clock().now();
  ASSERT_EQ(act("drag", {{"x", 100}, {"y", 65}, {"deltaX", 100}, {"deltaY", -15}}).code, "");
  const auto posted = desktop.posted();
  ASSERT_EQ(posted.size(), 22u);
  const Point start{200, 115};
  const Point end{300, 100};
  EXPECT_EQ(posted.front().type, EventType::leftMouseDown);
  EXPECT_EQ(posted.front().location, start);
  for (int k = 1; k <= 20; ++k) {
    EXPECT_EQ(posted[k].type, EventType::leftMouseDragged);
    EXPECT_EQ(posted[k].location, (Point{start.x + (100.0 * k) / 20, start.y + (-15.0 * k) / 20}))
        << "step " << k;
  }
  EXPECT_EQ(posted[20].location, end);
  EXPECT_EQ(posted.back().type, EventType::leftMouseUp);
  EXPECT_EQ(posted.back().location, end);
  EXPECT_GE(desktop.clock().now() - started, std::chrono::milliseconds(200));
  EXPECT_EQ(safety.heldCount(), 0u);
}

TEST_F(PointerTest, DragOfNothingStaysAtThePoint) {
  ASSERT_EQ(act("drag").code, "");
  const auto posted = desktop.posted();
  ASSERT_EQ(posted.size(), 22u);
  for (const auto& event : posted) EXPECT_EQ(event.location, (Point{200, 115}));
}

TEST_F(PointerTest, RefusesADragThatEndsOutsideTheImageOrPastSixtyFourBits) {
  EXPECT_EQ(act("drag", {{"deltaX", 700}}).code, "invalid_arguments");
  EXPECT_EQ(act("drag", {{"deltaY", -66}}).code, "invalid_arguments");
  EXPECT_EQ(act("drag", {{"deltaX", std::numeric_limits<std::int64_t>::max()}}).code,
            "invalid_arguments");
  EXPECT_EQ(act("drag", {{"deltaX", std::numeric_limits<std::uint64_t>::max()}}).code,
            "invalid_arguments");
  EXPECT_TRUE(desktop.posted().empty());
}

TEST_F(PointerTest, ADragWhoseWindowMovesEndsWithTheReleaseAtTheEndPoint) {
  int steps = 0;
  desktop.setPostHook([&](const Event& event) {
    if (event.type == EventType::leftMouseDragged && ++steps == 5) {
      desktop.window(appWindow).info.frame.x += 10;
    }
  });
  const auto outcome = act("drag", {{"deltaX", 50}});
  EXPECT_EQ(outcome.code, "target_stale");
  EXPECT_TRUE(outcome.dispatched);
  EXPECT_EQ(count(EventType::leftMouseDragged), 5u);
  ASSERT_EQ(desktop.posted().back().type, EventType::leftMouseUp);
  EXPECT_EQ(desktop.posted().back().location, (Point{250, 115}));
  EXPECT_EQ(safety.heldCount(), 0u);
  EXPECT_TRUE(watchdog->exchanges.back().empty());
}

TEST_F(PointerTest, HumanInputDuringADragReleasesTheButtonOnce) {
  int steps = 0;
  desktop.setPostHook([&](const Event& event) {
    if (event.type == EventType::leftMouseDragged && ++steps == 3) {
      safety.cancel("human_interrupted");
    }
  });
  const auto outcome = act("drag", {{"deltaY", 100}});
  EXPECT_EQ(outcome.code, "human_interrupted");
  EXPECT_TRUE(outcome.dispatched);
  EXPECT_EQ(count(EventType::leftMouseUp), 1u);
  EXPECT_EQ(desktop.posted().back().location, (Point{200, 215}));
  EXPECT_EQ(safety.heldCount(), 0u);
}

TEST_F(PointerTest, ADragStepOverAnotherWindowIsRefusedAndTheButtonReleased) {
  int steps = 0;
  desktop.setPostHook([&](const Event& event) {
    if (event.type == EventType::leftMouseDragged && ++steps == 10) coverWith({305, 80, 10, 100});
  });
  // The cover sits between start and end; the next step's hit test lands on it.
  const auto outcome = act("drag", {{"deltaX", 200}});
  EXPECT_EQ(outcome.code, "target_occluded");
  EXPECT_EQ(count(EventType::leftMouseDragged), 10u);
  EXPECT_EQ(desktop.posted().back().type, EventType::leftMouseUp);
  EXPECT_EQ(safety.heldCount(), 0u);
}

TEST_F(PointerTest, RefusesADragWhoseEndIsCoveredBeforePressing) {
  coverWith({380, 100, 40, 40});
  const auto outcome = act("drag", {{"deltaX", 200}});
  EXPECT_EQ(outcome.code, "target_occluded");
  EXPECT_FALSE(outcome.dispatched);
  EXPECT_TRUE(desktop.posted().empty());
}

TEST_F(PointerTest, ReleasesThePressWhenTheWatchdogCannotBeToldOfIt) {
  watchdog->refusesPresses = true;
  for (const std::string action : {"click", "drag"}) {
    const auto before = desktop.posted().size();
    const auto outcome = act(action);
    EXPECT_EQ(outcome.code, "input_watchdog_lost") << action;
    const auto posted = desktop.posted();
    ASSERT_EQ(posted.size(), before + 1) << action;
    EXPECT_EQ(posted.back().type, EventType::leftMouseUp) << action;
    EXPECT_EQ(safety.heldCount(), 0u);
  }
}

TEST_F(PointerTest, RefusesAnUnknownActionOnlyAfterTheCoordinates) {
  EXPECT_EQ(act("Click").code, "invalid_arguments");
  EXPECT_EQ(act("tap").code, "invalid_arguments");
  EXPECT_EQ(act("", {{"x", 5000}}).code, "invalid_arguments");
  Json noAction = {{"captureId", capture}, {"x", 1}, {"y", 1}};
  EXPECT_EQ(run("computer.pointer", noAction).code, "invalid_arguments");
  EXPECT_TRUE(desktop.posted().empty());
}

TEST_F(PointerTest, MoveHitTestsThenPostsOneMotion) {
  coverWith({150, 80, 200, 200});
  EXPECT_EQ(act("move").code, "target_occluded");
  EXPECT_TRUE(desktop.posted().empty());
  desktop.raiseWindow(appWindow);
  ASSERT_EQ(act("move").code, "");
  EXPECT_EQ(postedTypes(), std::vector<EventType>{EventType::mouseMoved});
}

}  // namespace
}  // namespace kex::testing

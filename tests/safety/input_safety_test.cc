#include "main/safety/input_safety.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "tests/safety/safety_fixture.h"

namespace kex::testing {
namespace {

using platform::Event;
using platform::EventType;

class InputSafetyTest : public SafetyTest {
 protected:
  InputSafety safety{desktop, gate, recordingOptions()};
};

TEST_F(InputSafetyTest, AnnouncesAKeyPressBeforePostingItAndPostsItsReleaseBeforeClearing) {
  safety.begin();
  const auto down = keyEvent(EventType::keyDown, 36, 0x20000);
  const auto up = keyEvent(EventType::keyUp, 36, 0x20000);
  safety.post(down, up, 36);
  ASSERT_EQ(watchdog->exchanges.size(), 2u);  // the first is begin()'s empty line
  EXPECT_EQ(watchdog->exchanges[1].held, std::vector<Event>{up});
  EXPECT_EQ(watchdog->exchanges[1].postedBefore, 0u)
      << "the press must be announced before it is posted";
  EXPECT_EQ(desktop.posted(), std::vector<Event>{down});
  EXPECT_EQ(desktop.heldKeys(), (std::set<std::uint16_t>{36}));

  safety.release();
  EXPECT_EQ(desktop.posted(), (std::vector<Event>{down, up}));
  EXPECT_EQ(safety.heldCount(), 0u);
  EXPECT_TRUE(desktop.heldKeys().empty());
  ASSERT_EQ(watchdog->exchanges.size(), 3u);
  EXPECT_TRUE(watchdog->exchanges[2].held.empty());
  EXPECT_EQ(watchdog->exchanges[2].postedBefore, 2u)
      << "the release must be posted before the held set is cleared";
}

TEST_F(InputSafetyTest, ARepeatedKeyIsReleasedOnceWithTheModifiersOfBothPresses) {
  safety.begin();
  const auto firstUp = keyEvent(EventType::keyUp, 12, 0x80000);
  const auto secondUp = keyEvent(EventType::keyUp, 12, 0x20000);
  const auto mergedUp = keyEvent(EventType::keyUp, 12, 0xA0000);
  safety.post(keyEvent(EventType::keyDown, 12, 0x80000), firstUp, 12);
  safety.post(keyEvent(EventType::keyDown, 12, 0x20000), secondUp, 12);
  EXPECT_EQ(watchdog->exchanges.back().held, std::vector<Event>{mergedUp});
  safety.release();
  const auto posted = desktop.posted();
  ASSERT_EQ(posted.size(), 3u);
  EXPECT_EQ(posted.back(), mergedUp) << "one key-up, letting go of alt and shift";
}

TEST_F(InputSafetyTest, TellsTheWholeHeldSetKeysFirstThenButtonsInPressOrder) {
  safety.begin();
  const auto firstUp = pointerEvent(EventType::leftMouseUp, 10, 20);
  const auto secondUp = pointerEvent(EventType::leftMouseUp, 30, 40);
  const auto keyUp = keyEvent(EventType::keyUp, 50);
  safety.post(pointerEvent(EventType::leftMouseDown, 10, 20), firstUp);
  EXPECT_EQ(watchdog->exchanges.back().held, std::vector<Event>{firstUp});
  safety.post(pointerEvent(EventType::leftMouseDown, 30, 40), secondUp);
  safety.post(keyEvent(EventType::keyDown, 50), keyUp, 50);
  EXPECT_EQ(watchdog->exchanges.back().held, (std::vector<Event>{keyUp, firstUp, secondUp}));

  safety.release();
  const auto posted = desktop.posted();
  ASSERT_EQ(posted.size(), 6u);
  EXPECT_EQ(std::vector<Event>(posted.begin() + 3, posted.end()),
            (std::vector<Event>{keyUp, firstUp, secondUp}));
}

TEST_F(InputSafetyTest, ReleasingNothingPostsNothingAndTellsOnlyAWatchdogThatRuns) {
  safety.release();
  EXPECT_TRUE(desktop.posted().empty());
  EXPECT_TRUE(watchdog->exchanges.empty());
  safety.begin();
  safety.release();
  EXPECT_TRUE(desktop.posted().empty());
  ASSERT_EQ(watchdog->exchanges.size(), 2u);
  EXPECT_TRUE(watchdog->exchanges[1].held.empty());
}

TEST_F(InputSafetyTest, StopsForGoodAndEachCancellationReplacesTheReason) {
  safety.cancel(codes::humanInterrupted);
  EXPECT_EQ(failureCode([&] { safety.check(); }), "human_interrupted");
  safety.cancel(codes::cancelled);
  EXPECT_EQ(failureCode([&] { safety.check(); }), "cancelled");
  safety.cancel(codes::inputMonitorLost);
  EXPECT_EQ(failureCode([&] { safety.begin(); }), "input_monitor_lost");
  EXPECT_FALSE(safety.controlReady());
  EXPECT_TRUE(safety.stopped());
}

TEST_F(InputSafetyTest, CancellingReleasesWhatIsHeldAndClearsTheWatchdog) {
  safety.begin();
  const auto up = keyEvent(EventType::keyUp, 9);
  safety.post(keyEvent(EventType::keyDown, 9), up, 9);
  safety.cancel(codes::cancelled);
  EXPECT_EQ(desktop.posted().back(), up);
  EXPECT_EQ(safety.heldCount(), 0u);
  EXPECT_TRUE(desktop.heldKeys().empty());
  EXPECT_TRUE(watchdog->exchanges.back().held.empty());
}

TEST_F(InputSafetyTest, RefusesToPostOnceStoppedAndRegistersNothing) {
  safety.begin();
  safety.cancel(codes::humanInterrupted);
  const auto exchangesBefore = watchdog->exchanges.size();
  EXPECT_EQ(failureCode([&] {
              safety.post(keyEvent(EventType::keyDown, 1), keyEvent(EventType::keyUp, 1), 1);
            }),
            "human_interrupted");
  EXPECT_TRUE(desktop.posted().empty());
  EXPECT_EQ(safety.heldCount(), 0u);
  EXPECT_EQ(watchdog->exchanges.size(), exchangesBefore);
}

TEST_F(InputSafetyTest, RefusesToPostWhileTheScreenIsLockedWithoutStopping) {
  desktop.lockScreen();
  EXPECT_EQ(failureCode([&] { safety.post(pointerEvent(EventType::mouseMoved, 1, 1)); }),
            "session_locked");
  EXPECT_TRUE(desktop.posted().empty());
  EXPECT_FALSE(safety.stopped());
  desktop.unlockScreen();
  safety.post(pointerEvent(EventType::mouseMoved, 1, 1));
  EXPECT_EQ(desktop.posted().size(), 1u);
}

TEST_F(InputSafetyTest, AWatchdogThatCannotBeToldKeepsThePressUnpostedThenStopsControl) {
  safety.begin();
  watchdog->failing = true;
  safety.beginRequest("computer.keyboard");
  const auto up = keyEvent(EventType::keyUp, 7);
  EXPECT_EQ(failureCode([&] { safety.post(keyEvent(EventType::keyDown, 7), up, 7); }),
            "input_watchdog_lost");
  EXPECT_TRUE(desktop.posted().empty());
  EXPECT_EQ(safety.heldCount(), 1u);
  EXPECT_TRUE(safety.requestMayHaveDispatched());

  safety.release();
  EXPECT_EQ(desktop.posted(), std::vector<Event>{up});
  EXPECT_EQ(failureCode([&] { safety.check(); }), "input_watchdog_lost");
}

TEST_F(InputSafetyTest, APressIsRefusedUntilControlIsArmed) {
  const auto up = pointerEvent(EventType::leftMouseUp, 0, 0);
  EXPECT_EQ(failureCode([&] { safety.post(pointerEvent(EventType::leftMouseDown, 0, 0), up); }),
            "input_watchdog_lost");
  EXPECT_TRUE(desktop.posted().empty());
  safety.release();  // the refused press left its release registered
  EXPECT_EQ(desktop.posted(), std::vector<Event>{up});

  safety.begin();
  safety.post(pointerEvent(EventType::leftMouseDown, 0, 0), up);
  EXPECT_EQ(desktop.heldButtons(), (std::set<EventType>{EventType::leftMouseDown}));
  safety.release();
  EXPECT_TRUE(desktop.heldButtons().empty());
}

TEST_F(InputSafetyTest, AMoveWithoutReleaseOnAPristineRequestCountsAsDispatched) {
  safety.beginRequest("computer.pointer");
  EXPECT_FALSE(safety.requestMayHaveDispatched());
  safety.post(pointerEvent(EventType::mouseMoved, 5, 5));
  EXPECT_TRUE(safety.requestMayHaveDispatched());
  safety.endRequest();
  EXPECT_TRUE(safety.requestMayHaveDispatched());
}

TEST_F(InputSafetyTest, ATrackedRequestInheritsUncertaintyFromAStopOrHeldInput) {
  safety.beginRequest("computer.focus");
  EXPECT_FALSE(safety.requestMayHaveDispatched());
  safety.endRequest();

  safety.begin();
  safety.post(keyEvent(EventType::keyDown, 3), keyEvent(EventType::keyUp, 3), 3);
  safety.beginRequest("computer.keyboard");
  EXPECT_TRUE(safety.requestMayHaveDispatched());
  safety.release();
  safety.endRequest();

  safety.cancel(codes::cancelled);
  safety.beginRequest("computer.keyboard");
  EXPECT_TRUE(safety.requestMayHaveDispatched());
}

TEST_F(InputSafetyTest, APressTheDesktopCannotMakeIsInputBlockedAndLeavesNothingToRelease) {
  safety.begin();
  safety.beginRequest("computer.keyboard");
  desktop.setFailing(Op::post);
  desktop.setPostFailure(PostFailure::refused);
  EXPECT_EQ(failureCode([&] {
              safety.post(keyEvent(EventType::keyDown, 36, 0x100000),
                          keyEvent(EventType::keyUp, 36, 0x100000), 36);
            }),
            "input_blocked");
  EXPECT_FALSE(safety.requestMayHaveDispatched());
  EXPECT_EQ(safety.heldCount(), 0u);
  desktop.setFailing(Op::post, false);
  safety.release();
  EXPECT_TRUE(desktop.posted().empty()) << "no key-up for a key that never went down";
  EXPECT_TRUE(watchdog->exchanges.back().held.empty());
  EXPECT_FALSE(safety.requestMayHaveDispatched());
}

TEST_F(InputSafetyTest, ARefusedSecondPressOfAHeldKeyKeepsTheFirstPresssRelease) {
  safety.begin();
  const auto firstUp = keyEvent(EventType::keyUp, 12, 0x80000);
  safety.post(keyEvent(EventType::keyDown, 12, 0x80000), firstUp, 12);
  desktop.setFailing(Op::post);
  desktop.setPostFailure(PostFailure::refused);
  EXPECT_EQ(failureCode([&] {
              safety.post(keyEvent(EventType::keyDown, 12, 0x100000),
                          keyEvent(EventType::keyUp, 12, 0x100000), 12);
            }),
            "input_blocked");
  desktop.setFailing(Op::post, false);
  safety.release();
  EXPECT_EQ(desktop.posted().back(), firstUp) << "alt only: the command key never went down";
  EXPECT_TRUE(desktop.heldKeys().empty());
}

TEST_F(InputSafetyTest, APressThatNeverReachedTheDesktopFailsWithItsErrorUndispatched) {
  safety.begin();
  safety.beginRequest("computer.pointer");
  desktop.setFailing(Op::post);
  const auto up = pointerEvent(EventType::leftMouseUp, 4, 4);
  EXPECT_THROW(safety.post(pointerEvent(EventType::leftMouseDown, 4, 4), up),
               platform::EventNotPosted);
  EXPECT_FALSE(safety.requestMayHaveDispatched());
  EXPECT_EQ(safety.heldCount(), 0u);
}

TEST_F(InputSafetyTest, APressThatFailedOnTheWayCountsAsDispatchedAndIsReleased) {
  safety.begin();
  safety.beginRequest("computer.pointer");
  desktop.setFailing(Op::post);
  desktop.setPostFailure(PostFailure::partial);
  desktop.setPostHook([&](const Event&) { desktop.setFailing(Op::post, false); });
  const auto up = pointerEvent(EventType::leftMouseUp, 4, 4);
  EXPECT_THROW(safety.post(pointerEvent(EventType::leftMouseDown, 4, 4), up),
               platform::PlatformError);
  EXPECT_TRUE(safety.requestMayHaveDispatched());
  EXPECT_EQ(safety.heldCount(), 1u);
  safety.release();
  EXPECT_EQ(desktop.posted().back(), up);
  EXPECT_TRUE(desktop.heldButtons().empty());
  EXPECT_EQ(safety.heldCount(), 0u);
}

TEST_F(InputSafetyTest, AReleaseTheDesktopDidNotTakeStaysWithTheWatchdogAndGoesOutNextTime) {
  safety.begin();
  const auto up = keyEvent(EventType::keyUp, 36);
  safety.post(keyEvent(EventType::keyDown, 36), up, 36);
  desktop.setFailing(Op::post);
  safety.release();
  EXPECT_EQ(desktop.heldKeys(), (std::set<std::uint16_t>{36}));
  EXPECT_EQ(watchdog->exchanges.back().held, std::vector<Event>{up})
      << "the watchdog lets go of it if this process ends first";
  EXPECT_EQ(safety.heldCount(), 1u);
  safety.beginRequest("computer.keyboard");
  EXPECT_TRUE(safety.requestMayHaveDispatched());

  desktop.setFailing(Op::post, false);
  safety.release();
  EXPECT_TRUE(desktop.heldKeys().empty());
  EXPECT_TRUE(watchdog->exchanges.back().held.empty());
  EXPECT_EQ(safety.heldCount(), 0u);
}

TEST(InputSafetyDeathTest, APressWithoutItsReleaseEndsTheProcess) {
  MemoryDesktop desktop;
  SessionGate gate{desktop.session()};
  InputSafety safety{desktop, gate};
  EXPECT_DEATH(safety.post(keyEvent(EventType::keyDown, 4)), "without a registered release");
  EXPECT_DEATH(safety.post(pointerEvent(EventType::leftMouseDown, 1, 1)),
               "without a registered release");
}

// Refused for want of a watchdog, a press leaves its release registered; nothing releases it.
void destroyWhileHoldingAKey() {
  MemoryDesktop desktop;
  SessionGate gate{desktop.session()};
  InputSafety safety{desktop, gate};
  (void)failureCode(
      [&] { safety.post(keyEvent(EventType::keyDown, 4), keyEvent(EventType::keyUp, 4), 4); });
}

TEST(InputSafetyDeathTest, DestroyingTheControllerWhileInputIsHeldEndsTheProcess) {
  EXPECT_DEATH(destroyWhileHoldingAKey(), "destroyed while input is held");
}

}  // namespace
}  // namespace kex::testing

// The human-input monitor and arming: prepare(), controlReady(), interrupt() and begin() against
// the in-memory desktop's tap.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "tests/safety/safety_fixture.h"

namespace kex::testing {
namespace {

using platform::Event;
using platform::EventType;

constexpr std::int32_t kSomeoneElse = 77;

class HumanInputTest : public SafetyTest {
 protected:
  std::unique_ptr<InputSafety> safety =
      std::make_unique<InputSafety>(desktop, gate, recordingOptions());
};

// Lets a tap start that a test blocked, however the test ends, before the controller waits for
// its monitor thread.
class TapStartBlock {
 public:
  explicit TapStartBlock(MemoryDesktop& desktop) : desktop_(desktop) {
    desktop_.blockTapStart(true);
  }
  ~TapStartBlock() { desktop_.blockTapStart(false); }
  TapStartBlock(const TapStartBlock&) = delete;
  TapStartBlock& operator=(const TapStartBlock&) = delete;

 private:
  MemoryDesktop& desktop_;
};

TEST_F(HumanInputTest, ControlIsReadyOnceTheMonitorRunsAndOneMonitorServesEveryAsking) {
  EXPECT_EQ(desktop.tapStarts(), 0);
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(safety->controlReady());
  EXPECT_EQ(desktop.tapStarts(), 1);
  EXPECT_FALSE(safety->armed());
}

TEST_F(HumanInputTest, WithoutPermissionToListenNothingStartsAndALaterAskingTriesAgain) {
  desktop.revoke(Permission::listenEvents);
  EXPECT_EQ(failureCode([&] { safety->prepare(); }), "permission_required");
  EXPECT_EQ(failureCode([&] { safety->begin(); }), "permission_required");
  EXPECT_FALSE(safety->controlReady());
  EXPECT_FALSE(safety->stopped());
  EXPECT_EQ(desktop.tapStarts(), 0);
  EXPECT_EQ(watchdog->launches, 0);

  desktop.grant(Permission::listenEvents);
  EXPECT_TRUE(safety->controlReady());
  EXPECT_EQ(desktop.tapStarts(), 1);
}

TEST_F(HumanInputTest, HumanInputBeforeArmingChangesNothing) {
  ASSERT_TRUE(safety->controlReady());
  for (EventType type : {EventType::keyDown, EventType::leftMouseDown, EventType::mouseMoved,
                         EventType::scrollWheel}) {
    ASSERT_TRUE(desktop.feedInput(type, kSomeoneElse));
  }
  EXPECT_FALSE(safety->stopped());
  EXPECT_TRUE(safety->controlReady());
  safety->begin();
  EXPECT_TRUE(safety->armed());
}

TEST_F(HumanInputTest, EveryKindOfHumanInputAfterArmingStopsControl) {
  for (EventType type :
       {EventType::keyDown, EventType::keyUp, EventType::flagsChanged, EventType::mouseMoved,
        EventType::leftMouseDown, EventType::leftMouseUp, EventType::rightMouseDown,
        EventType::rightMouseUp, EventType::otherMouseDown, EventType::otherMouseUp,
        EventType::leftMouseDragged, EventType::rightMouseDragged, EventType::scrollWheel}) {
    MemoryDesktop fresh;
    SessionGate freshGate{fresh.session()};
    InputSafetyOptions options;
    options.launchWatchdog = [&] { return std::make_unique<RecordingWatchdog>(watchdog, fresh); };
    InputSafety controller{fresh, freshGate, options};
    controller.begin();
    ASSERT_TRUE(fresh.feedInput(type, kSomeoneElse));
    EXPECT_EQ(controller.stopReason(), "human_interrupted") << static_cast<int>(type);
    EXPECT_TRUE(controller.stopped()) << static_cast<int>(type);
  }
}

TEST_F(HumanInputTest, HumanInputWhileArmedReleasesWhatIsHeldAndFailsTheNextGate) {
  safety->begin();
  const auto up = pointerEvent(EventType::leftMouseUp, 40, 50);
  safety->post(pointerEvent(EventType::leftMouseDown, 40, 50), up);
  ASSERT_EQ(desktop.heldButtons().size(), 1u);

  ASSERT_TRUE(desktop.feedInput(EventType::mouseMoved, kSomeoneElse));
  EXPECT_TRUE(desktop.heldButtons().empty());
  EXPECT_EQ(desktop.posted().back(), up);
  EXPECT_TRUE(watchdog->exchanges.back().held.empty());
  EXPECT_EQ(failureCode([&] { safety->check(); }), "human_interrupted");
  EXPECT_EQ(failureCode([&] {
              safety->post(keyEvent(EventType::keyDown, 0), keyEvent(EventType::keyUp, 0), 0);
            }),
            "human_interrupted");
  EXPECT_FALSE(safety->controlReady());
}

TEST_F(HumanInputTest, ThisProcesssOwnPostsNeverInterrupt) {
  safety->begin();
  safety->post(pointerEvent(EventType::mouseMoved, 3, 4));
  safety->post(pointerEvent(EventType::leftMouseDown, 3, 4),
               pointerEvent(EventType::leftMouseUp, 3, 4));
  safety->post(keyEvent(EventType::keyDown, 0, 0x20000), keyEvent(EventType::keyUp, 0, 0x20000), 0);
  safety->release();
  desktop.waitUntilTapIdle();
  ASSERT_TRUE(desktop.feedInput(EventType::keyDown, MemoryDesktop::kOwnProcessId));
  EXPECT_FALSE(safety->stopped());
  EXPECT_TRUE(safety->controlReady());
}

TEST_F(HumanInputTest, AMiddleButtonDragInterruptsByItsButtonsNotItsMovement) {
  safety->begin();
  ASSERT_TRUE(desktop.feedInput(EventType::otherMouseDragged, kSomeoneElse));
  EXPECT_FALSE(safety->stopped());
  ASSERT_TRUE(desktop.feedInput(EventType::otherMouseDown, kSomeoneElse));
  EXPECT_EQ(safety->stopReason(), "human_interrupted");
}

TEST_F(HumanInputTest, EachHumanEventReplacesAnEarlierStopReason) {
  safety->begin();
  safety->cancel(codes::cancelled);
  ASSERT_TRUE(desktop.feedInput(EventType::keyDown, kSomeoneElse));
  EXPECT_EQ(safety->stopReason(), "human_interrupted");
}

TEST_F(HumanInputTest, ATapTheSystemDisablesStopsControlEvenUnarmed) {
  ASSERT_TRUE(safety->controlReady());
  desktop.disableTap();
  EXPECT_EQ(safety->stopReason(), "input_monitor_lost");
  EXPECT_TRUE(safety->stopped());
  EXPECT_FALSE(safety->controlReady());
  EXPECT_EQ(failureCode([&] { safety->begin(); }), "input_monitor_lost");
}

TEST_F(HumanInputTest, ATapFoundDeadAtTheNextPreparationStopsControl) {
  ASSERT_TRUE(safety->controlReady());
  desktop.invalidateTap();
  EXPECT_FALSE(safety->stopped()) << "nothing noticed before it is asked";
  EXPECT_EQ(failureCode([&] { safety->prepare(); }), "input_monitor_lost");
  EXPECT_TRUE(safety->stopped());
  EXPECT_EQ(desktop.tapStarts(), 1);
}

TEST_F(HumanInputTest, AMonitorThatDoesNotReportInTimeStopsControlForGood) {
  InputSafetyOptions options = recordingOptions();
  options.monitorStartLimit = std::chrono::milliseconds(50);
  safety = std::make_unique<InputSafety>(desktop, gate, options);
  {
    TapStartBlock block(desktop);
    EXPECT_EQ(failureCode([&] { safety->prepare(); }), "input_monitor_unavailable");
    EXPECT_TRUE(safety->stopped());
    EXPECT_EQ(failureCode([&] { safety->begin(); }), "input_monitor_unavailable");
    EXPECT_FALSE(safety->controlReady());
  }
  EXPECT_EQ(desktop.tapStarts(), 1);
  EXPECT_EQ(watchdog->launches, 0);
}

TEST_F(HumanInputTest, NoTapMeansTheMonitorIsUnavailable) {
  desktop.setFailing(Op::createInputTap);
  EXPECT_EQ(failureCode([&] { safety->begin(); }), "input_monitor_unavailable");
  EXPECT_EQ(safety->stopReason(), "input_monitor_unavailable");
  EXPECT_FALSE(safety->armed());
}

TEST_F(HumanInputTest, BeginDoesNotArmWhileTheSessionIsLocked) {
  desktop.lockScreen();
  EXPECT_EQ(failureCode([&] { safety->begin(); }), "session_locked");
  EXPECT_EQ(watchdog->launches, 0);
  EXPECT_FALSE(safety->armed());
  EXPECT_FALSE(safety->stopped());
  desktop.unlockScreen();
  safety->begin();
  EXPECT_TRUE(safety->armed());
}

TEST_F(HumanInputTest, ABusyControllerIsNotArmedAndTheNextBeginStartsANewWatchdog) {
  watchdog->failing = true;
  watchdog->failure = codes::controllerBusy;
  EXPECT_EQ(failureCode([&] { safety->begin(); }), "controller_busy");
  EXPECT_FALSE(safety->armed());
  EXPECT_FALSE(safety->stopped());
  ASSERT_TRUE(desktop.feedInput(EventType::keyDown, kSomeoneElse));
  EXPECT_FALSE(safety->stopped()) << "human input stops only armed control";

  watchdog->failing = false;
  safety->begin();
  EXPECT_TRUE(safety->armed());
  EXPECT_EQ(watchdog->launches, 2);
  safety->begin();
  EXPECT_EQ(watchdog->launches, 2) << "a running watchdog is kept";
}

TEST_F(HumanInputTest, AWatchdogThatCannotStartLeavesNothingBehind) {
  watchdog->launchFails = true;
  EXPECT_THROW(safety->begin(), platform::PlatformError);
  EXPECT_FALSE(safety->armed());
  EXPECT_EQ(failureCode([&] {
              safety->post(keyEvent(EventType::keyDown, 0), keyEvent(EventType::keyUp, 0), 0);
            }),
            "input_watchdog_lost");
  safety->release();
  watchdog->launchFails = false;
  safety->begin();
  EXPECT_TRUE(safety->armed());
}

TEST_F(HumanInputTest, AWatchdogThatCannotBeToldIsDroppedAndTheNextBeginStartsANewOne) {
  watchdog->writeFails = true;
  EXPECT_THROW(safety->begin(), platform::PlatformError);
  EXPECT_FALSE(safety->armed());
  EXPECT_EQ(failureCode([&] {
              safety->post(keyEvent(EventType::keyDown, 0), keyEvent(EventType::keyUp, 0), 0);
            }),
            "input_watchdog_lost")
      << "the child that failed its first exchange is not kept";
  safety->release();
  EXPECT_FALSE(safety->stopped());

  watchdog->writeFails = false;
  safety->begin();
  EXPECT_TRUE(safety->armed());
  EXPECT_EQ(watchdog->launches, 2);
}

TEST_F(HumanInputTest, ALostWatchdogStopsControlAtTheNextRelease) {
  safety->begin();
  safety->post(keyEvent(EventType::keyDown, 8), keyEvent(EventType::keyUp, 8), 8);
  watchdog->failing = true;
  safety->beginRequest("computer.keyboard");
  safety->release();
  EXPECT_TRUE(desktop.heldKeys().empty()) << "the release is posted all the same";
  EXPECT_EQ(safety->stopReason(), "input_watchdog_lost");
  EXPECT_TRUE(safety->requestMayHaveDispatched());
  EXPECT_FALSE(safety->controlReady());
}

}  // namespace
}  // namespace kex::testing

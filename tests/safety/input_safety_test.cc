#include "main/safety/input_safety.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "main/common/failure.h"
#include "tests/desktop/memory_desktop.h"

namespace kex {
namespace {

using platform::Event;
using platform::EventType;

// Records every held set it is told; fails on demand like a watchdog that died.
class RecordingWatchdog : public WatchdogChannel {
 public:
  struct Log {
    std::vector<std::vector<Event>> exchanges;
    bool failing = false;
  };
  explicit RecordingWatchdog(std::shared_ptr<Log> log) : log_(std::move(log)) {}

  void exchange(const std::vector<Event>& held) override {
    if (log_->failing) throw Failure(codes::inputWatchdogLost);
    log_->exchanges.push_back(held);
  }

 private:
  std::shared_ptr<Log> log_;
};

Event key(EventType type, std::uint16_t code, std::uint64_t flags = 0) {
  Event event;
  event.type = type;
  event.keyCode = code;
  event.flags = flags;
  return event;
}

Event button(EventType type, double x, double y) {
  Event event;
  event.type = type;
  event.location = {x, y};
  return event;
}

std::string failureCode(const std::function<void()>& action) {
  try {
    action();
  } catch (const Failure& failure) {
    return failure.code;
  }
  return "";
}

class InputSafetyTest : public ::testing::Test {
 protected:
  void attachWatchdog() { safety.adoptWatchdog(std::make_unique<RecordingWatchdog>(watchdog)); }

  testing::MemoryDesktop desktop;
  SessionGate gate{desktop.session()};
  InputSafety safety{desktop.events(), gate};
  std::shared_ptr<RecordingWatchdog::Log> watchdog = std::make_shared<RecordingWatchdog::Log>();
};

TEST_F(InputSafetyTest, AnnouncesAKeyPressThenPostsItsReleaseOnceAndClearsTheWatchdog) {
  attachWatchdog();
  const auto down = key(EventType::keyDown, 38, 0x20000);
  const auto up = key(EventType::keyUp, 38, 0x20000);
  safety.post(down, up, 38);
  ASSERT_EQ(watchdog->exchanges.size(), 1u);
  EXPECT_EQ(watchdog->exchanges[0], std::vector<Event>{up});
  EXPECT_EQ(desktop.posted(), std::vector<Event>{down});

  safety.release();
  EXPECT_EQ(desktop.posted(), (std::vector<Event>{down, up}));
  EXPECT_EQ(safety.heldCount(), 0u);
  ASSERT_EQ(watchdog->exchanges.size(), 2u);
  EXPECT_TRUE(watchdog->exchanges[1].empty());
}

TEST_F(InputSafetyTest, KeepsOnlyTheLatestReleaseOfARepeatedKey) {
  attachWatchdog();
  const auto firstUp = key(EventType::keyUp, 12, 1);
  const auto secondUp = key(EventType::keyUp, 12, 2);
  safety.post(key(EventType::keyDown, 12, 1), firstUp, 12);
  safety.post(key(EventType::keyDown, 12, 2), secondUp, 12);
  EXPECT_EQ(watchdog->exchanges.back(), std::vector<Event>{secondUp});
  safety.release();
  const auto posted = desktop.posted();
  EXPECT_EQ(std::count(posted.begin(), posted.end(), secondUp), 1);
  EXPECT_EQ(std::count(posted.begin(), posted.end(), firstUp), 0);
}

TEST_F(InputSafetyTest, ReleasesHeldKeysThenButtonsInTheOrderOfThePresses) {
  attachWatchdog();
  const auto firstUp = button(EventType::leftMouseUp, 10, 20);
  const auto secondUp = button(EventType::leftMouseUp, 30, 40);
  const auto keyUp = key(EventType::keyUp, 50);
  safety.post(button(EventType::leftMouseDown, 10, 20), firstUp);
  safety.post(button(EventType::leftMouseDown, 30, 40), secondUp);
  safety.post(key(EventType::keyDown, 50), keyUp, 50);
  EXPECT_EQ(watchdog->exchanges.back(), (std::vector<Event>{keyUp, firstUp, secondUp}));

  safety.release();
  const auto posted = desktop.posted();
  ASSERT_EQ(posted.size(), 6u);
  EXPECT_EQ(std::vector<Event>(posted.begin() + 3, posted.end()),
            (std::vector<Event>{keyUp, firstUp, secondUp}));
}

TEST_F(InputSafetyTest, ReleasingNothingPostsNothingAndTellsOnlyAWatchdogThatExists) {
  safety.release();
  EXPECT_TRUE(desktop.posted().empty());
  attachWatchdog();
  safety.release();
  EXPECT_TRUE(desktop.posted().empty());
  ASSERT_EQ(watchdog->exchanges.size(), 1u);
  EXPECT_TRUE(watchdog->exchanges[0].empty());
}

TEST_F(InputSafetyTest, StopsForGoodWithTheLatestReason) {
  safety.cancel(codes::humanInterrupted);
  EXPECT_EQ(failureCode([&] { safety.check(); }), "human_interrupted");
  safety.cancel(codes::cancelled);
  EXPECT_EQ(failureCode([&] { safety.check(); }), "cancelled");
  EXPECT_TRUE(safety.stopped());
}

TEST_F(InputSafetyTest, CancellingReleasesWhatIsHeld) {
  attachWatchdog();
  const auto up = key(EventType::keyUp, 9);
  safety.post(key(EventType::keyDown, 9), up, 9);
  safety.cancel(codes::cancelled);
  EXPECT_EQ(desktop.posted().back(), up);
  EXPECT_EQ(safety.heldCount(), 0u);
  EXPECT_TRUE(watchdog->exchanges.back().empty());
}

TEST_F(InputSafetyTest, RefusesToPostOnceStoppedAndRegistersNothing) {
  attachWatchdog();
  safety.cancel(codes::humanInterrupted);
  const auto exchangesBefore = watchdog->exchanges.size();
  EXPECT_EQ(
      failureCode([&] { safety.post(key(EventType::keyDown, 1), key(EventType::keyUp, 1), 1); }),
      "human_interrupted");
  EXPECT_TRUE(desktop.posted().empty());
  EXPECT_EQ(safety.heldCount(), 0u);
  EXPECT_EQ(watchdog->exchanges.size(), exchangesBefore);
}

TEST_F(InputSafetyTest, RefusesToPostWhileTheScreenIsLockedWithoutStopping) {
  desktop.lockScreen();
  EXPECT_EQ(failureCode([&] { safety.post(button(EventType::mouseMoved, 1, 1)); }),
            "session_locked");
  EXPECT_TRUE(desktop.posted().empty());
  EXPECT_FALSE(safety.stopped());
}

TEST_F(InputSafetyTest, AWatchdogThatCannotBeToldKeepsThePressUnpostedAndLaterStopsControl) {
  attachWatchdog();
  watchdog->failing = true;
  safety.beginRequest("computer.keyboard");
  const auto up = key(EventType::keyUp, 7);
  EXPECT_EQ(failureCode([&] { safety.post(key(EventType::keyDown, 7), up, 7); }),
            "input_watchdog_lost");
  EXPECT_TRUE(desktop.posted().empty());
  EXPECT_EQ(safety.heldCount(), 1u);
  EXPECT_TRUE(safety.requestMayHaveDispatched());

  safety.release();
  EXPECT_EQ(desktop.posted(), std::vector<Event>{up});
  EXPECT_EQ(failureCode([&] { safety.check(); }), "input_watchdog_lost");
}

TEST_F(InputSafetyTest, APressWithoutAnyWatchdogIsRefusedBeforeItIsPosted) {
  EXPECT_EQ(failureCode([&] {
              safety.post(button(EventType::leftMouseDown, 0, 0),
                          button(EventType::leftMouseUp, 0, 0));
            }),
            "input_watchdog_lost");
  EXPECT_TRUE(desktop.posted().empty());
}

TEST_F(InputSafetyTest, AMoveWithoutReleaseOnAPristineRequestCountsAsDispatched) {
  safety.beginRequest("computer.pointer");
  EXPECT_FALSE(safety.requestMayHaveDispatched());
  safety.post(button(EventType::mouseMoved, 5, 5));
  EXPECT_TRUE(safety.requestMayHaveDispatched());
  safety.endRequest();
  EXPECT_TRUE(safety.requestMayHaveDispatched());
}

TEST_F(InputSafetyTest, ATrackedRequestInheritsUncertaintyFromAStopOrHeldInput) {
  safety.beginRequest("computer.focus");
  EXPECT_FALSE(safety.requestMayHaveDispatched());
  safety.endRequest();

  attachWatchdog();
  safety.post(key(EventType::keyDown, 3), key(EventType::keyUp, 3), 3);
  safety.beginRequest("computer.keyboard");
  EXPECT_TRUE(safety.requestMayHaveDispatched());
  safety.release();
  safety.endRequest();

  safety.cancel(codes::cancelled);
  safety.beginRequest("computer.keyboard");
  EXPECT_TRUE(safety.requestMayHaveDispatched());
}

TEST_F(InputSafetyTest, ControlIsNeverReadyWithoutTheHumanInputMonitor) {
  EXPECT_FALSE(safety.controlReady());
}

using InputSafetyDeathTest = InputSafetyTest;

TEST_F(InputSafetyDeathTest, APressWithoutItsReleaseEndsTheProcess) {
  attachWatchdog();
  EXPECT_DEATH(safety.post(key(EventType::keyDown, 4)), "without a registered release");
  EXPECT_DEATH(safety.post(button(EventType::leftMouseDown, 1, 1)), "without a registered release");
}

}  // namespace
}  // namespace kex

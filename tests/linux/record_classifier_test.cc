#include "platform/linux/x11/record_classifier.h"

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <cstring>
#include <vector>

namespace kex::platform::x11 {
namespace {

constexpr std::uint32_t kOwnBase = 0x00400000;
constexpr std::uint32_t kOtherBase = 0x00600000;
constexpr std::uint8_t kXTest = 132;

// An XTEST FakeInput request as a client sends it (36 bytes, length 9).
std::vector<std::uint8_t> fakeInput(std::uint8_t type, std::uint8_t detail) {
  std::vector<std::uint8_t> request(36, 0);
  request[0] = kXTest;
  request[1] = 2;
  const std::uint16_t length = 9;
  std::memcpy(&request[2], &length, 2);
  request[4] = type;
  request[5] = detail;
  return request;
}

// A core device event (32 bytes) with the button state.
std::vector<std::uint8_t> deviceEvent(std::uint8_t type, std::uint8_t detail,
                                      std::uint16_t state = 0) {
  std::vector<std::uint8_t> event(32, 0);
  event[0] = type;
  event[1] = detail;
  std::memcpy(&event[28], &state, 2);
  return event;
}

std::vector<std::uint8_t> joined(std::initializer_list<std::vector<std::uint8_t>> parts) {
  std::vector<std::uint8_t> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

class RecordClassifierTest : public ::testing::Test {
 protected:
  void request(std::uint32_t base, const std::vector<std::uint8_t>& bytes) {
    classifier.feed(RecordCategory::fromClient, base, false, bytes, inputs);
  }
  // The one input the device event yields.
  RecordedInput event(std::uint8_t type, std::uint8_t detail, std::uint16_t state = 0) {
    inputs.clear();
    classifier.feed(RecordCategory::fromServer, 0, false, deviceEvent(type, detail, state), inputs);
    EXPECT_EQ(inputs.size(), 1u);
    return inputs.empty() ? RecordedInput{} : inputs.front();
  }

  RecordClassifier classifier{kOwnBase, kXTest};
  std::vector<RecordedInput> inputs;
};

TEST_F(RecordClassifierTest, TheEventRightAfterOurOwnFakeInputIsOurs) {
  request(kOwnBase, fakeInput(XCB_KEY_PRESS, 38));
  EXPECT_TRUE(event(XCB_KEY_PRESS, 38).own);
  request(kOwnBase, fakeInput(XCB_MOTION_NOTIFY, 0));
  const auto motion = event(XCB_MOTION_NOTIFY, 0);
  EXPECT_TRUE(motion.own);
  EXPECT_EQ(motion.type, EventType::mouseMoved);
}

TEST_F(RecordClassifierTest, OneRequestOwnsOneEventOnly) {
  request(kOwnBase, fakeInput(XCB_MOTION_NOTIFY, 0));
  EXPECT_TRUE(event(XCB_MOTION_NOTIFY, 0).own);
  EXPECT_FALSE(event(XCB_MOTION_NOTIFY, 0).own) << "hardware motion right after ours";
}

TEST_F(RecordClassifierTest, AnotherClientsFakeInputIsHuman) {
  request(kOtherBase, fakeInput(XCB_KEY_PRESS, 56));
  EXPECT_FALSE(event(XCB_KEY_PRESS, 56).own);
  request(kOwnBase, fakeInput(XCB_KEY_PRESS, 56));
  request(kOtherBase, fakeInput(XCB_KEY_PRESS, 56));
  EXPECT_FALSE(event(XCB_KEY_PRESS, 56).own) << "the other client's request came last";
}

TEST_F(RecordClassifierTest, EventsWithoutAnyRequestAreHuman) {
  EXPECT_FALSE(event(XCB_KEY_PRESS, 38).own);
  EXPECT_FALSE(event(XCB_MOTION_NOTIFY, 0).own) << "a pointer warp";
}

TEST_F(RecordClassifierTest, AnOwnRequestThatCausedNothingDoesNotClaimADifferentEvent) {
  // A release of a key that was up causes no event; the human key press that follows is not ours.
  request(kOwnBase, fakeInput(XCB_KEY_RELEASE, 38));
  EXPECT_FALSE(event(XCB_KEY_PRESS, 40).own);
  request(kOwnBase, fakeInput(XCB_BUTTON_RELEASE, 1));
  EXPECT_FALSE(event(XCB_MOTION_NOTIFY, 0).own);
}

TEST_F(RecordClassifierTest, InABatchOfOurRequestsOnlyTheLastCanOwnTheEventThatFollows) {
  // Requests that cause no event arrive together with the next one.
  request(kOwnBase, joined({fakeInput(XCB_KEY_PRESS, 38), fakeInput(XCB_KEY_RELEASE, 38)}));
  EXPECT_FALSE(event(XCB_KEY_PRESS, 38).own);
  request(kOwnBase, joined({fakeInput(XCB_KEY_PRESS, 38), fakeInput(XCB_KEY_RELEASE, 38)}));
  EXPECT_TRUE(event(XCB_KEY_RELEASE, 38).own);
}

TEST_F(RecordClassifierTest, MapsButtonsAndDragsToTheirKinds) {
  EXPECT_EQ(event(XCB_BUTTON_PRESS, 1).type, EventType::leftMouseDown);
  EXPECT_EQ(event(XCB_BUTTON_RELEASE, 1).type, EventType::leftMouseUp);
  EXPECT_EQ(event(XCB_BUTTON_PRESS, 3).type, EventType::rightMouseDown);
  EXPECT_EQ(event(XCB_BUTTON_RELEASE, 3).type, EventType::rightMouseUp);
  EXPECT_EQ(event(XCB_BUTTON_PRESS, 2).type, EventType::otherMouseDown);
  EXPECT_EQ(event(XCB_BUTTON_RELEASE, 9).type, EventType::otherMouseUp);
  for (std::uint8_t wheel : {4, 5, 6, 7}) {
    EXPECT_EQ(event(XCB_BUTTON_PRESS, wheel).type, EventType::scrollWheel);
  }
  EXPECT_EQ(event(XCB_MOTION_NOTIFY, 0, XCB_BUTTON_MASK_1).type, EventType::leftMouseDragged);
  EXPECT_EQ(event(XCB_MOTION_NOTIFY, 0, XCB_BUTTON_MASK_3).type, EventType::rightMouseDragged);
  EXPECT_EQ(event(XCB_MOTION_NOTIFY, 0, XCB_BUTTON_MASK_2).type, EventType::otherMouseDragged);
  EXPECT_EQ(event(XCB_MOTION_NOTIFY, 0, XCB_MOD_MASK_SHIFT).type, EventType::mouseMoved);
  EXPECT_EQ(event(XCB_KEY_RELEASE, 50).type, EventType::keyUp) << "a modifier key";
}

TEST_F(RecordClassifierTest, SeveralEventsInOneElementAreAllDelivered) {
  request(kOwnBase, fakeInput(XCB_BUTTON_PRESS, 1));
  classifier.feed(RecordCategory::fromServer, 0, false,
                  joined({deviceEvent(XCB_BUTTON_PRESS, 1), deviceEvent(XCB_MOTION_NOTIFY, 0)}),
                  inputs);
  ASSERT_EQ(inputs.size(), 2u);
  EXPECT_TRUE(inputs[0].own);
  EXPECT_FALSE(inputs[1].own);
}

TEST_F(RecordClassifierTest, CutOffOrCorruptDataYieldsNothingAndNoCrash) {
  auto request = fakeInput(XCB_KEY_PRESS, 38);
  request[2] = 200;  // longer than the data
  classifier.feed(RecordCategory::fromClient, kOwnBase, false, request, inputs);
  EXPECT_FALSE(event(XCB_KEY_PRESS, 38).own);
  inputs.clear();
  classifier.feed(RecordCategory::fromServer, 0, false, std::vector<std::uint8_t>(31, 2), inputs);
  EXPECT_TRUE(inputs.empty());
  classifier.feed(static_cast<RecordCategory>(9), 0, false, {}, inputs);
  EXPECT_FALSE(classifier.ended());
}

TEST_F(RecordClassifierTest, TheEndOfTheRecordingEndsIt) {
  EXPECT_FALSE(classifier.ended());
  classifier.feed(RecordCategory::endOfData, 0, false, {}, inputs);
  EXPECT_TRUE(classifier.ended());
}

TEST(RecordClassifier, WithoutXTestNothingIsOurs) {
  RecordClassifier classifier{kOwnBase, std::nullopt};
  std::vector<RecordedInput> inputs;
  classifier.feed(RecordCategory::fromClient, kOwnBase, false, fakeInput(XCB_KEY_PRESS, 38),
                  inputs);
  classifier.feed(RecordCategory::fromServer, 0, false, deviceEvent(XCB_KEY_PRESS, 38), inputs);
  ASSERT_EQ(inputs.size(), 1u);
  EXPECT_FALSE(inputs[0].own);
}

}  // namespace
}  // namespace kex::platform::x11

#include "platform/linux/x11/record_classifier.h"

#include <xcb/xcb.h>

#include <cstring>

namespace kex::platform::x11 {
namespace {

constexpr std::uint8_t kFakeInputMinorOpcode = 2;
constexpr std::size_t kCoreEventBytes = 32;
constexpr std::uint8_t kSendEventBit = 0x80;

// Offsets in a core device event and in an XTEST FakeInput request.
constexpr std::size_t kEventStateOffset = 28;
constexpr std::size_t kRequestTypeOffset = 4;
constexpr std::size_t kRequestDetailOffset = 5;

std::uint16_t read16(std::span<const std::uint8_t> data, std::size_t offset, bool swapped) {
  std::uint16_t value;
  std::memcpy(&value, data.data() + offset, sizeof value);
  return swapped ? static_cast<std::uint16_t>((value >> 8) | (value << 8)) : value;
}

std::uint32_t read32(std::span<const std::uint8_t> data, std::size_t offset, bool swapped) {
  std::uint32_t value;
  std::memcpy(&value, data.data() + offset, sizeof value);
  return swapped ? __builtin_bswap32(value) : value;
}

// A request's length in bytes, BIG-REQUESTS included; 0 when the header is cut off.
std::size_t requestLength(std::span<const std::uint8_t> data, bool swapped) {
  if (data.size() < 4) return 0;
  const std::uint16_t units = read16(data, 2, swapped);
  if (units != 0) return std::size_t{units} * 4;
  if (data.size() < 8) return 0;
  return std::size_t{read32(data, 4, swapped)} * 4;
}

EventType buttonType(std::uint8_t button, bool press) {
  switch (button) {
    case 1:
      return press ? EventType::leftMouseDown : EventType::leftMouseUp;
    case 3:
      return press ? EventType::rightMouseDown : EventType::rightMouseUp;
    case 4:
    case 5:
    case 6:
    case 7:
      return EventType::scrollWheel;
    default:
      return press ? EventType::otherMouseDown : EventType::otherMouseUp;
  }
}

EventType motionType(std::uint16_t state) {
  if ((state & XCB_BUTTON_MASK_1) != 0) return EventType::leftMouseDragged;
  if ((state & XCB_BUTTON_MASK_3) != 0) return EventType::rightMouseDragged;
  constexpr std::uint16_t kOtherButtons = XCB_BUTTON_MASK_2 | XCB_BUTTON_MASK_4 | XCB_BUTTON_MASK_5;
  if ((state & kOtherButtons) != 0) return EventType::otherMouseDragged;
  return EventType::mouseMoved;
}

}  // namespace

std::optional<EventType> inputTypeOfCoreEvent(std::uint8_t type, std::uint8_t detail,
                                              std::uint16_t state) {
  switch (type) {
    case XCB_KEY_PRESS:
      return EventType::keyDown;
    case XCB_KEY_RELEASE:
      return EventType::keyUp;
    case XCB_BUTTON_PRESS:
      return buttonType(detail, true);
    case XCB_BUTTON_RELEASE:
      return buttonType(detail, false);
    case XCB_MOTION_NOTIFY:
      return motionType(state);
    default:
      return std::nullopt;
  }
}

RecordClassifier::RecordClassifier(std::uint32_t ownClientBase,
                                   std::optional<std::uint8_t> xtestMajorOpcode)
    : ownClientBase_(ownClientBase), xtestMajorOpcode_(xtestMajorOpcode) {}

void RecordClassifier::feed(RecordCategory category, std::uint32_t clientBase, bool swapped,
                            std::span<const std::uint8_t> data,
                            std::vector<RecordedInput>& inputs) {
  switch (category) {
    case RecordCategory::fromClient:
      readRequests(clientBase, swapped, data);
      return;
    case RecordCategory::fromServer:
      readEvents(data, inputs);
      return;
    case RecordCategory::endOfData:
      ended_ = true;
      pending_.reset();
      return;
    case RecordCategory::clientStarted:
    case RecordCategory::clientDied:
    case RecordCategory::startOfData:
      return;
  }
}

// Consecutive requests of one client arrive together; only the last can have caused the event
// that follows, since an event of an earlier one would have come between them.
void RecordClassifier::readRequests(std::uint32_t clientBase, bool swapped,
                                    std::span<const std::uint8_t> data) {
  pending_.reset();
  const bool own = clientBase == ownClientBase_ && xtestMajorOpcode_.has_value();
  while (!data.empty()) {
    const std::size_t length = requestLength(data, swapped);
    if (length < 8 || length > data.size()) return;
    const auto request = data.first(length);
    data = data.subspan(length);
    pending_.reset();
    if (!own || request[0] != *xtestMajorOpcode_ || request[1] != kFakeInputMinorOpcode) continue;
    pending_ = Request{request[kRequestTypeOffset], request[kRequestDetailOffset]};
  }
}

void RecordClassifier::readEvents(std::span<const std::uint8_t> data,
                                  std::vector<RecordedInput>& inputs) {
  while (data.size() >= kCoreEventBytes) {
    const auto event = data.first(kCoreEventBytes);
    data = data.subspan(kCoreEventBytes);
    const std::uint8_t type = event[0] & ~kSendEventBit;
    const std::uint8_t detail = event[1];
    // Device events are in the server's byte order, which is ours on a local display.
    const auto kind = inputTypeOfCoreEvent(type, detail, read16(event, kEventStateOffset, false));
    const bool own = pending_ && pending_->type == type && pending_->detail == detail;
    pending_.reset();
    if (kind) inputs.push_back({*kind, own});
  }
}

}  // namespace kex::platform::x11

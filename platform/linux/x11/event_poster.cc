#include "platform/linux/x11/event_poster.h"

#include <xcb/xtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

#include "platform/linux/x11/input_tap.h"
#include "platform/linux/x11/key_mapping.h"

namespace kex::platform::x11 {
namespace {

constexpr std::uint8_t kLeftButton = 1;
constexpr std::uint8_t kMiddleButton = 2;
constexpr std::uint8_t kRightButton = 3;
constexpr std::uint8_t kWheelUp = 4;
constexpr std::uint8_t kWheelDown = 5;
constexpr std::uint8_t kWheelLeft = 6;
constexpr std::uint8_t kWheelRight = 7;

// Which way a key or button goes.
enum class Transition { press, release };

// One XTEST request. For motion, detail 0 makes the position absolute on the root window.
struct FakeInput {
  std::uint8_t type;
  std::uint8_t detail;
  std::int16_t x = 0;
  std::int16_t y = 0;
};

std::int16_t toCoordinate(double value) {
  if (!std::isfinite(value)) return 0;
  const double clamped =
      std::clamp(std::floor(value), double(std::numeric_limits<std::int16_t>::min()),
                 double(std::numeric_limits<std::int16_t>::max()));
  return static_cast<std::int16_t>(clamped);
}

FakeInput motionTo(Point location) {
  return {XCB_MOTION_NOTIFY, 0, toCoordinate(location.x), toCoordinate(location.y)};
}

FakeInput keyInput(xcb_keycode_t keycode, Transition transition) {
  return {
      transition == Transition::press ? std::uint8_t{XCB_KEY_PRESS} : std::uint8_t{XCB_KEY_RELEASE},
      keycode};
}

// Whether the pointer must move before a button goes down or up. A move to where the pointer
// already is still makes a motion event, which an application would see in the middle of a
// click or at the end of a drag.
enum class Approach { move, alreadyThere };

void addButton(std::vector<FakeInput>& inputs, const Event& event, std::uint8_t button,
               Transition transition, Approach approach) {
  if (approach == Approach::move) inputs.push_back(motionTo(event.location));
  inputs.push_back({transition == Transition::press ? std::uint8_t{XCB_BUTTON_PRESS}
                                                    : std::uint8_t{XCB_BUTTON_RELEASE},
                    button});
}

// Modifiers go down before the key and come up after it, in the reverse order. A press the
// keymap cannot make as asked is refused whole: without one of its modifiers, or with another
// key, it would be another input. A release lets go of what the keymap still has.
void addKey(std::vector<FakeInput>& inputs, const Event& event, const Connection& connection) {
  const auto keymap = Keymap::read(connection);
  if (event.type == EventType::keyUp) {
    if (!keymap) throw EventNotPosted(EventNotPosted::Reason::undelivered, "no keymap");
    for (const xcb_keycode_t key : keysToRelease(event.keyCode, event.flags, *keymap)) {
      inputs.push_back(keyInput(key, Transition::release));
    }
    return;
  }
  const auto modifiers = ModifierMap::read(connection);
  if (!keymap || !modifiers) throw EventNotPosted(EventNotPosted::Reason::undelivered, "no keymap");
  const auto chord = chordToPress(event.keyCode, event.flags, *keymap, *modifiers);
  if (!chord) {
    throw EventNotPosted(EventNotPosted::Reason::unrepresentable,
                         "the keymap lacks the key or one of its modifiers");
  }
  for (const xcb_keycode_t modifier : chord->modifiers) {
    inputs.push_back(keyInput(modifier, Transition::press));
  }
  inputs.push_back(keyInput(chord->key, Transition::press));
}

// Each line of scroll is one click of a wheel button.
void addWheelClicks(std::vector<FakeInput>& inputs, std::int32_t lines, std::uint8_t positive,
                    std::uint8_t negative) {
  const std::int64_t clicks = std::abs(std::int64_t{lines});
  if (clicks > X11EventServices::kMaxScrollLines) {
    throw EventNotPosted(EventNotPosted::Reason::unrepresentable, "too many lines of scroll");
  }
  const std::uint8_t button = lines > 0 ? positive : negative;
  for (std::int64_t i = 0; i < clicks; ++i) {
    inputs.push_back({XCB_BUTTON_PRESS, button});
    inputs.push_back({XCB_BUTTON_RELEASE, button});
  }
}

std::vector<FakeInput> fakeInputsFor(const Event& event, const Connection& connection,
                                     Approach release) {
  std::vector<FakeInput> inputs;
  switch (event.type) {
    case EventType::keyDown:
    case EventType::keyUp:
      addKey(inputs, event, connection);
      break;
    case EventType::mouseMoved:
    case EventType::leftMouseDragged:
    case EventType::rightMouseDragged:
    case EventType::otherMouseDragged:
      inputs.push_back(motionTo(event.location));
      break;
    case EventType::leftMouseDown:
      addButton(inputs, event, kLeftButton, Transition::press, Approach::move);
      break;
    case EventType::leftMouseUp:
      addButton(inputs, event, kLeftButton, Transition::release, release);
      break;
    case EventType::rightMouseDown:
      addButton(inputs, event, kRightButton, Transition::press, Approach::move);
      break;
    case EventType::rightMouseUp:
      addButton(inputs, event, kRightButton, Transition::release, release);
      break;
    case EventType::otherMouseDown:
      addButton(inputs, event, kMiddleButton, Transition::press, Approach::move);
      break;
    case EventType::otherMouseUp:
      addButton(inputs, event, kMiddleButton, Transition::release, release);
      break;
    case EventType::scrollWheel:
      addWheelClicks(inputs, event.scrollVertical, kWheelUp, kWheelDown);
      addWheelClicks(inputs, event.scrollHorizontal, kWheelLeft, kWheelRight);
      break;
    case EventType::flagsChanged:
      // Modifier state follows from the modifier keys' own key events.
      break;
  }
  return inputs;
}

Approach approachTo(const Connection& connection, Point location) {
  const auto pointer = connection.reply<xcb_query_pointer_reply_t>(
      xcb_query_pointer(connection.get(), connection.root()), xcb_query_pointer_reply);
  const FakeInput target = motionTo(location);
  const bool there =
      pointer && pointer->same_screen && pointer->root_x == target.x && pointer->root_y == target.y;
  return there ? Approach::alreadyThere : Approach::move;
}

bool isButtonRelease(EventType type) {
  return type == EventType::leftMouseUp || type == EventType::rightMouseUp ||
         type == EventType::otherMouseUp;
}

}  // namespace

X11EventServices::X11EventServices(std::unique_ptr<Connection> connection)
    : connection_(std::move(connection)),
      typist_(connection_ != nullptr ? std::make_unique<TextTypist>(*connection_) : nullptr) {}

void X11EventServices::post(const Event& event) {
  if (!canPost()) {
    throw EventNotPosted(EventNotPosted::Reason::undelivered,
                         "no working connection to post input on");
  }
  if (event.isKey() && !event.text.empty()) {
    if (event.type == EventType::keyDown) {
      typist_->type(event.text);
    } else {
      typist_->finish();
    }
    return;
  }
  const Approach release =
      isButtonRelease(event.type) ? approachTo(*connection_, event.location) : Approach::move;
  const std::vector<FakeInput> inputs = fakeInputsFor(event, *connection_, release);
  xcb_connection_t* c = connection_->get();
  std::vector<xcb_void_cookie_t> cookies;
  cookies.reserve(inputs.size());
  for (const FakeInput& input : inputs) {
    cookies.push_back(xcb_test_fake_input_checked(c, input.type, input.detail, XCB_CURRENT_TIME,
                                                  connection_->root(), input.x, input.y, 0));
  }
  // The first check waits for the server once; by then it has handled every request, so the
  // rest are answered from memory. Every one is checked, so that none is left queued.
  bool allTaken = true;
  for (const xcb_void_cookie_t cookie : cookies) {
    allTaken = connection_->succeeded(cookie) && allTaken;
  }
  // The server may have acted on some before the connection broke or it refused one.
  if (!allTaken) throw PlatformError("the X server did not take all of the input");
}

bool X11EventServices::canPost() const {
  return connection_ != nullptr && connection_->hasXTest() && !connection_->broken();
}

void X11EventServices::undoAbandonedTyping() {
  if (connection_ == nullptr || connection_->broken()) return;
  typist_->takeBackAbandoned();
}

std::unique_ptr<InputTap> X11EventServices::createInputTap(InputTapListener& listener) {
  if (connection_ == nullptr || !connection_->hasRecord() || connection_->isXwayland()) {
    return nullptr;
  }
  return RecordInputTap::open(listener, xcb_get_setup(connection_->get())->resource_id_base);
}

}  // namespace kex::platform::x11

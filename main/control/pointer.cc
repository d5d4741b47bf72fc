#include "main/control/pointer.h"

#include <cmath>
#include <limits>

#include "main/common/failure.h"
#include "main/control/capture_mapping.h"
#include "main/control/release_at_end.h"

namespace kex {
namespace {

using platform::Event;
using platform::EventType;
using platform::Point;

const Json kUnverified = {{"verified", false}};

// 2^63: the first double past the largest signed 64-bit integer.
constexpr double kTwoTo63 = 9223372036854775808.0;

Event pointerEvent(EventType type, Point location, std::int64_t clickState = 0) {
  Event event;
  event.type = type;
  event.location = location;
  event.clickState = clickState;
  return event;
}

bool insideImage(std::int64_t x, std::int64_t y, const Capture& capture) {
  return x >= 0 && y >= 0 && x < capture.width && y < capture.height;
}

Point toScreen(std::int64_t x, std::int64_t y, const InputTarget& target) {
  return captureToScreen(x, y, target.capture.width, target.capture.height, target.window.frame);
}

// A scroll amount as lines of a wheel, turned around for the horizontal wheel: a whole number
// of 120s whose count the desktop's wheel events carry (at most maxLines either way); anything
// else is refused before anything is posted.
enum class WheelDirection { asGiven, reversed };
std::int32_t wheelLines(std::int64_t delta, WheelDirection direction, std::int32_t maxLines) {
  if (delta % kScrollLineDelta != 0) throw Failure(codes::invalidArguments);
  std::int64_t lines = delta / kScrollLineDelta;
  if (direction == WheelDirection::reversed) lines = -lines;
  if (lines < -std::int64_t{maxLines} || lines > maxLines) throw Failure(codes::invalidArguments);
  return static_cast<std::int32_t>(lines);
}

// Sums that would leave 64 bits cannot name a pixel.
std::int64_t checkedSum(std::int64_t a, std::int64_t b) {
  std::int64_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) throw Failure(codes::invalidArguments);
  return sum;
}

}  // namespace

std::optional<std::int64_t> integerArgument(const Json& args, const char* key) {
  const auto found = args.find(key);
  if (found == args.end() || found->is_null()) return std::nullopt;
  if (found->is_number_integer() && !found->is_number_unsigned()) return found->get<std::int64_t>();
  if (found->is_number_unsigned()) {
    const auto value = found->get<std::uint64_t>();
    if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      throw Failure(codes::invalidArguments);
    }
    return static_cast<std::int64_t>(value);
  }
  if (found->is_number_float()) {
    const double value = found->get<double>();
    if (!std::isfinite(value) || std::floor(value) != value || value < -kTwoTo63 ||
        value >= kTwoTo63) {
      throw Failure(codes::invalidArguments);
    }
    return static_cast<std::int64_t>(value);
  }
  throw Failure(codes::invalidArguments);
}

Json Pointer::act(const Json& args) {
  const InputTarget target = guards_.inputTarget(args);
  const auto x = integerArgument(args, "x");
  const auto y = integerArgument(args, "y");
  if (!x || !y || !insideImage(*x, *y, target.capture)) throw Failure(codes::invalidArguments);
  const Point point = toScreen(*x, *y, target);

  const ReleaseAtEnd release(safety_);
  const auto action = args.find("action");
  const std::string name =
      action != args.end() && action->is_string() ? action->get<std::string>() : std::string();
  if (name == "move") {
    event(target, EventType::mouseMoved, point);
  } else if (name == "click") {
    click(target, point, 1);
  } else if (name == "doubleClick") {
    click(target, point, 2);
  } else if (name == "scroll") {
    scroll(target, point, args);
  } else if (name == "drag") {
    drag(target, *x, *y, point, args);
  } else {
    throw Failure(codes::invalidArguments);
  }
  return kUnverified;
}

void Pointer::click(const InputTarget& target, Point point, int times) {
  for (int clickState = 1; clickState <= times; ++clickState) {
    const Event down = pointerEvent(EventType::leftMouseDown, point, clickState);
    const Event up = pointerEvent(EventType::leftMouseUp, point, clickState);
    guards_.requirePoint(target.window, point);
    safety_.post(down, up);
    safety_.release();
  }
}

void Pointer::scroll(const InputTarget& target, Point point, const Json& args) {
  const std::int64_t deltaX = integerArgument(args, "deltaX").value_or(0);
  const std::int64_t deltaY = integerArgument(args, "deltaY").value_or(0);
  const std::int32_t maxLines = desktop_.events().maxScrollLines();
  const std::int32_t vertical = wheelLines(deltaY, WheelDirection::asGiven, maxLines);
  const std::int32_t horizontal = wheelLines(deltaX, WheelDirection::reversed, maxLines);
  event(target, EventType::mouseMoved, point);
  Event wheel = pointerEvent(EventType::scrollWheel, point);
  wheel.scrollVertical = vertical;
  wheel.scrollHorizontal = horizontal;
  safety_.post(wheel);
}

void Pointer::drag(const InputTarget& target, std::int64_t x, std::int64_t y, Point start,
                   const Json& args) {
  const std::int64_t endX = checkedSum(x, integerArgument(args, "deltaX").value_or(0));
  const std::int64_t endY = checkedSum(y, integerArgument(args, "deltaY").value_or(0));
  if (!insideImage(endX, endY, target.capture)) throw Failure(codes::invalidArguments);
  const Point end = toScreen(endX, endY, target);

  const Event down = pointerEvent(EventType::leftMouseDown, start);
  const Event up = pointerEvent(EventType::leftMouseUp, end);
  guards_.requirePoint(target.window, start);
  guards_.requirePoint(target.window, end);
  // From here the button is held until the request's release, which lets it go at the end
  // point wherever the drag stopped.
  safety_.post(down, up);
  for (int step = 1; step <= kDragSteps; ++step) {
    desktop_.clock().sleep(kDragStepPause);
    (void)observation_.verify(target.capture.target);
    const Point at{start.x + ((end.x - start.x) * step) / kDragSteps,
                   start.y + ((end.y - start.y) * step) / kDragSteps};
    event(target, EventType::leftMouseDragged, at);
  }
}

void Pointer::event(const InputTarget& target, EventType type, Point point) {
  const Event posted = pointerEvent(type, point);
  guards_.requirePoint(target.window, point);
  safety_.post(posted);
}

}  // namespace kex

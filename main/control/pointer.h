// "computer.pointer": moves, clicks, double clicks, scrolls and drags with the left button
// inside a captured window.
#pragma once

#include <cstdint>
#include <optional>

#include "main/common/json.h"
#include "main/control/guards.h"
#include "main/observe/observation.h"
#include "main/safety/input_safety.h"
#include "platform/desktop.h"

namespace kex {

// A drag moves in this many steps, pausing this long before each.
inline constexpr int kDragSteps = 20;
inline constexpr platform::Duration kDragStepPause = std::chrono::milliseconds(10);
// One line of scrolling.
inline constexpr std::int64_t kScrollLineDelta = 120;

// Request thread only. The only state is a drag's progress; the held button lives in the
// controller, and everything a request registered is released when it ends, however it ends.
class Pointer {
 public:
  Pointer(platform::Desktop& desktop, Observation& observation, InputSafety& safety, Guards& guards)
      : desktop_(desktop), observation_(observation), safety_(safety), guards_(guards) {}

  // {"verified": false} once the action's events were posted. Throws "invalid_arguments" (a
  // pixel outside the capture, an unknown action, a scroll amount that is not a multiple of
  // 120 or more lines than the desktop's wheel events carry, a drag end outside the capture),
  // "input_blocked", the guards' failures, verify's during a drag, and the controller's.
  [[nodiscard]] Json act(const Json& args);

 private:
  void click(const InputTarget& target, platform::Point point, int times);
  void scroll(const InputTarget& target, platform::Point point, const Json& args);
  void drag(const InputTarget& target, std::int64_t x, std::int64_t y, platform::Point start,
            const Json& args);
  // Hit-tests the point, then posts a pointer event that holds nothing.
  void event(const InputTarget& target, platform::EventType type, platform::Point point);

  platform::Desktop& desktop_;
  Observation& observation_;
  InputSafety& safety_;
  Guards& guards_;
};

// A request's integer: nothing when absent or null; "invalid_arguments" when present but not
// an integral number that fits 64 bits.
[[nodiscard]] std::optional<std::int64_t> integerArgument(const Json& args, const char* key);

}  // namespace kex

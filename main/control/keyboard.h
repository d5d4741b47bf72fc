// "computer.keyboard": one named key with modifiers, or a run of text, typed into the focused
// element of a captured window.
#pragma once

#include <cstdint>
#include <string>

#include "main/common/json.h"
#include "main/control/guards.h"
#include "main/safety/input_safety.h"

namespace kex {

// Request thread only. Keeps no state between requests; within one, a failure leaves the
// chunks already typed typed.
class Keyboard {
 public:
  Keyboard(InputSafety& safety, Guards& guards) : safety_(safety), guards_(guards) {}

  // {"verified": false} once every keystroke was posted. Throws "invalid_arguments" (unknown
  // modifier or key name, text longer than 1024 UTF-16 code units; found only after the window
  // and focus guards pass), "input_blocked" (the desktop cannot make the key with its modifiers,
  // or type every character of a chunk; nothing of it is posted), the guards' failures before
  // the first and every later chunk, and the controller's.
  [[nodiscard]] Json type(const Json& args);

 private:
  // Posts a key-down with its key-up registered as held, then releases it, whether or not the
  // post succeeded.
  void postKey(std::uint16_t code, std::uint64_t flags, const std::u16string& text = {});

  InputSafety& safety_;
  Guards& guards_;
};

}  // namespace kex

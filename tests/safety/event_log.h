// Events as one line of text each, for logs that tests compare.
#pragma once

#include <sstream>
#include <string>

#include "platform/events.h"

namespace kex::testing {

// "keyUp <code> <flags>" for a key event, "<type number> <x> <y> <flags>" for any other.
inline std::string eventLine(const platform::Event& event) {
  std::ostringstream line;
  if (event.type == platform::EventType::keyUp || event.type == platform::EventType::keyDown) {
    line << (event.type == platform::EventType::keyUp ? "keyUp " : "keyDown ") << event.keyCode
         << " " << event.flags;
    return line.str();
  }
  line << static_cast<int>(event.type) << " " << event.location.x << " " << event.location.y << " "
       << event.flags;
  return line.str();
}

}  // namespace kex::testing

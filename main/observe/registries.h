// The short-lived identifiers handed to the host and the records behind them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

#include "platform/accessibility.h"
#include "platform/clock.h"
#include "platform/windows.h"

namespace kex {

// Age limits in seconds.
inline constexpr double kTargetMaxAge = 120.0;  // window targets up to and including it
inline constexpr double kCaptureMaxAge = 30.0;  // captures below it
inline constexpr double kNodeMaxAge = 5.0;      // nodes below it

// Captures are dropped wholesale once more than this many have been registered.
inline constexpr std::size_t kMaxCaptures = 64;

// A window the host may address, as the listing saw it. Never modified after registration.
struct Target {
  platform::WindowInfo window;
  platform::Timestamp created;
  std::string revision;                       // topology revision at registration
  std::optional<std::string> processStarted;  // the owning process run's identity
};

// A window screenshot that input operations may refer to.
struct Capture {
  Target target;  // as it stood in the registry at capture time
  std::int64_t width = 0;
  std::int64_t height = 0;
  platform::Timestamp created;
};

// One element of an accessibility tree.
struct Node {
  platform::Element element;
  Target target;
  platform::Timestamp created;
};

// A display the host may capture, never act on.
struct DisplayTarget {
  platform::DisplayContent display;
  platform::Timestamp created;
  std::string revision;
};

// The four registries, keyed by identifier with exact comparison. Entries are never removed
// singly: listings and trees replace whole generations. Request thread only, so no lock.
struct Registries {
  std::unordered_map<std::string, Target> targets;
  std::unordered_map<std::string, Capture> captures;
  std::unordered_map<std::string, Node> nodes;
  std::unordered_map<std::string, DisplayTarget> displayTargets;
};

}  // namespace kex

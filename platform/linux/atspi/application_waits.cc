#include "platform/linux/atspi/application_waits.h"

#include <algorithm>

#include "platform/linux/atspi/accessibility_element.h"

namespace kex::platform::atspi {
namespace {

std::chrono::milliseconds clamped(std::chrono::milliseconds timeout) {
  return std::clamp(timeout, std::chrono::milliseconds(1), kLongestAccessibilityWait);
}

}  // namespace

void ApplicationWaits::setApplicationTimeout(const std::string& bus,
                                             std::chrono::milliseconds timeout) {
  applicationTimeouts_[bus] = clamped(timeout);
}

std::chrono::milliseconds ApplicationWaits::applicationTimeout(const std::string& bus) const {
  const auto found = applicationTimeouts_.find(bus);
  return found == applicationTimeouts_.end() ? standard_ : found->second;
}

void ApplicationWaits::setStandardTimeout(std::chrono::milliseconds timeout) {
  standard_ = clamped(timeout);
}

std::chrono::milliseconds ApplicationWaits::timeoutFor(const ObjectKey& key) const {
  return key.path == atspi::kRootPath ? applicationTimeout(key.bus) : standard_;
}

void ApplicationWaits::noteOutcome(const std::string& bus, CallOutcome outcome) {
  if (outcome == CallOutcome::timedOut) silent_.insert(bus);
}

void ApplicationWaits::clear() {
  applicationTimeouts_.clear();
  silent_.clear();
}

}  // namespace kex::platform::atspi

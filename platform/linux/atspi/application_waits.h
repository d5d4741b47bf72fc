// How long calls to each application may wait, and which applications stopped answering during
// the current request.
#pragma once

#include <chrono>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "platform/linux/atspi/accessibility_bus.h"

namespace kex::platform::atspi {

// The timeout of every call that no one chose a shorter one for.
inline constexpr std::chrono::milliseconds kStandardApplicationTimeout = kLongestAccessibilityWait;

// Request thread only.
class ApplicationWaits {
 public:
  // Every application gets its chance again: a silence is remembered for the request that saw
  // it only, so an application that was busy for a moment is not refused afterwards.
  void beginRequest() { silent_.clear(); }

  // The timeout of calls made for the application element itself (its window list, its focused
  // window and element), which the logic shortens to find a window quickly. Clamped to
  // 1 ms ... kLongestAccessibilityWait.
  void setApplicationTimeout(const std::string& bus, std::chrono::milliseconds timeout);
  void resetApplicationTimeout(const std::string& bus) { applicationTimeouts_.erase(bus); }
  [[nodiscard]] std::chrono::milliseconds applicationTimeout(const std::string& bus) const;

  // Every other call's timeout, the same for all applications.
  void setStandardTimeout(std::chrono::milliseconds timeout);
  [[nodiscard]] std::chrono::milliseconds standardTimeout() const { return standard_; }

  // The timeout of a call on the object: its application's own when it is the application's
  // root object, else the standard one.
  [[nodiscard]] std::chrono::milliseconds timeoutFor(const ObjectKey& key) const;

  // A frozen application would cost a whole timeout on every read of a walk: after one call to
  // it timed out, its further calls in this request fail at once.
  void noteOutcome(const std::string& bus, CallOutcome outcome);
  [[nodiscard]] bool silent(const std::string& bus) const { return silent_.contains(bus); }

  // Forgets everything, as for a new connection to the bus, whose names are all new.
  void clear();

 private:
  std::chrono::milliseconds standard_{kStandardApplicationTimeout};
  std::unordered_map<std::string, std::chrono::milliseconds> applicationTimeouts_;
  std::unordered_set<std::string> silent_;
};

}  // namespace kex::platform::atspi

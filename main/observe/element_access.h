// Reading accessibility attributes and finding a listed window's accessibility element.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/accessibility.h"
#include "platform/desktop.h"

namespace kex {

// Seconds an application element found for a window waits for its application's answers.
inline constexpr double kApplicationMessagingTimeout = 0.5;

// Request thread only. Keeps no state.
class ElementAccess {
 public:
  explicit ElementAccess(platform::Desktop& desktop) : desktop_(desktop) {}

  // The attribute's value, or nothing on any error. Never fails.
  [[nodiscard]] std::optional<platform::AttributeValue> attribute(const platform::Element& element,
                                                                  std::string_view name);

  // Typed readings: nothing when the attribute is absent or of another type.
  [[nodiscard]] std::optional<std::string> text(const platform::Element& element,
                                                std::string_view name);
  [[nodiscard]] std::optional<bool> flag(const platform::Element& element, std::string_view name);
  [[nodiscard]] std::optional<platform::Element> element(const platform::Element& element,
                                                         std::string_view name);
  [[nodiscard]] std::optional<std::vector<platform::Element>> elements(
      const platform::Element& element, std::string_view name);

  // The one accessibility window of the window's application whose frame equals the listed
  // window's frame or client area exactly, and whose title equals its title. Throws
  // "permission_required" without accessibility trust or an owning application, "target_stale" when
  // none or more than one matches.
  [[nodiscard]] platform::Element axWindow(const platform::WindowInfo& window);

 private:
  [[nodiscard]] bool matches(const platform::Element& candidate,
                             const platform::WindowInfo& window);

  platform::Desktop& desktop_;
};

}  // namespace kex

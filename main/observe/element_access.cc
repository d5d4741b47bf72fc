#include "main/observe/element_access.h"

#include <exception>

#include "main/common/failure.h"

namespace kex {

using platform::AttributeValue;
using platform::Element;

std::optional<AttributeValue> ElementAccess::attribute(const Element& element,
                                                       std::string_view name) {
  try {
    return desktop_.accessibility().copyAttribute(element, name);
  } catch (const std::exception&) {
    // An application that quit or misbehaves is just an attribute without a value; a
    // cancellation is no such error and goes on to the request loop.
    return std::nullopt;
  }
}

namespace {

template <typename T>
std::optional<T> as(std::optional<AttributeValue> value) {
  if (!value) return std::nullopt;
  auto* typed = std::get_if<T>(&*value);
  if (typed == nullptr) return std::nullopt;
  return std::move(*typed);
}

}  // namespace

std::optional<std::string> ElementAccess::text(const Element& element, std::string_view name) {
  return as<std::string>(attribute(element, name));
}

std::optional<bool> ElementAccess::flag(const Element& element, std::string_view name) {
  return as<bool>(attribute(element, name));
}

std::optional<Element> ElementAccess::element(const Element& element, std::string_view name) {
  return as<Element>(attribute(element, name));
}

std::optional<std::vector<Element>> ElementAccess::elements(const Element& element,
                                                            std::string_view name) {
  return as<std::vector<Element>>(attribute(element, name));
}

Element ElementAccess::axWindow(const platform::WindowInfo& window) {
  if (!desktop_.system().accessibilityTrusted()) throw Failure(codes::permissionRequired);
  if (!window.owner) throw Failure(codes::permissionRequired);
  auto& services = desktop_.accessibility();
  const auto application = services.applicationElement(window.owner->processId);
  services.setMessagingTimeout(application, kApplicationMessagingTimeout);
  const auto candidates =
      elements(application, platform::attributes::windows).value_or(std::vector<Element>{});
  std::optional<Element> found;
  int matchCount = 0;
  // Every candidate is tested, so that two equal windows are noticed.
  for (const auto& candidate : candidates) {
    if (!matches(candidate, window)) continue;
    ++matchCount;
    if (!found) found = candidate;
  }
  if (matchCount != 1) throw Failure(codes::targetStale);
  return *found;
}

// Toolkits differ in what they report as a window's extents: some the frame with the window
// manager's decorations, others the client area inside it. Either counts, exactly.
bool ElementAccess::matches(const Element& candidate, const platform::WindowInfo& window) {
  const auto position = as<platform::Point>(attribute(candidate, platform::attributes::position));
  const auto size = as<platform::Size>(attribute(candidate, platform::attributes::size));
  if (!position || !size) return false;
  const platform::Rect extents{position->x, position->y, size->width, size->height};
  if (extents != window.frame && extents != window.clientArea) return false;
  return text(candidate, platform::attributes::title).value_or("") == window.title.value_or("");
}

}  // namespace kex

// Elements of other applications' user interfaces, their attributes and actions.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/geometry.h"

namespace kex::platform {

// What a backend keeps to find one element again.
class ElementRef {
 public:
  virtual ~ElementRef() = default;
  // True when both name the same element of the same application.
  [[nodiscard]] virtual bool sameElement(const ElementRef& other) const = 0;
};

// An opaque, shared reference to one accessibility element.
class Element {
 public:
  explicit Element(std::shared_ptr<const ElementRef> ref) : ref_(std::move(ref)) {}

  [[nodiscard]] const ElementRef& ref() const { return *ref_; }
  [[nodiscard]] bool operator==(const Element& other) const {
    return ref_->sameElement(*other.ref_);
  }

 private:
  std::shared_ptr<const ElementRef> ref_;
};

// An attribute's value: text, a flag, an element, a list of elements, or a point or size
// value.
using AttributeValue = std::variant<std::string, bool, Element, std::vector<Element>, Point, Size>;

// Attribute names the logic reads and writes.
namespace attributes {
inline constexpr std::string_view role = "AXRole";
inline constexpr std::string_view subrole = "AXSubrole";
inline constexpr std::string_view title = "AXTitle";
inline constexpr std::string_view enabled = "AXEnabled";
inline constexpr std::string_view children = "AXChildren";
inline constexpr std::string_view parent = "AXParent";
inline constexpr std::string_view windows = "AXWindows";
inline constexpr std::string_view position = "AXPosition";
inline constexpr std::string_view size = "AXSize";
inline constexpr std::string_view focusedWindow = "AXFocusedWindow";
inline constexpr std::string_view focusedElement = "AXFocusedUIElement";
inline constexpr std::string_view focused = "AXFocused";
}  // namespace attributes

// Action names of performAction.
namespace actions {
inline constexpr std::string_view raise = "AXRaise";
inline constexpr std::string_view press = "AXPress";
}  // namespace actions

// Attribute values the logic compares with.
namespace values {
inline constexpr std::string_view secureTextField = "AXSecureTextField";  // a subrole
inline constexpr std::string_view sheet = "AXSheet";                      // a role
}  // namespace values

// Request thread only. Calls block for at most the element's messaging timeout, and all the
// calls of one request together for a bounded time.
class AccessibilityServices {
 public:
  virtual ~AccessibilityServices() = default;

  // A request begins: its waits are bounded afresh, and an application that stopped answering
  // during an earlier request is asked again.
  virtual void beginRequest() = 0;

  [[nodiscard]] virtual Element applicationElement(std::int32_t pid) = 0;
  [[nodiscard]] virtual Element systemWideElement() = 0;
  virtual void setMessagingTimeout(const Element& element, double seconds) = 0;

  // The attribute's value; nothing on any error (unsupported, no value, no answer in time,
  // element gone).
  [[nodiscard]] virtual std::optional<AttributeValue> copyAttribute(const Element& element,
                                                                    std::string_view name) = 0;

  // Sets the focused attribute to true; false when the application refused.
  [[nodiscard]] virtual bool setFocused(const Element& element) = 0;

  // Performs "AXRaise" on a window element (the window comes to the front and takes the
  // focus) or "AXPress" on any element; false when the desktop or the application refused.
  [[nodiscard]] virtual bool performAction(const Element& element, std::string_view action) = 0;

  // The deepest element at the point, asked of the system-wide element. A point on a window's
  // decorations (its title bar or border) hits the window itself.
  [[nodiscard]] virtual std::optional<Element> elementAtPosition(const Element& systemWide, float x,
                                                                 float y) = 0;

  [[nodiscard]] virtual std::optional<std::int32_t> processIdOf(const Element& element) = 0;

  // Drops every answer kept from earlier reads, so that the next read of any attribute asks
  // the application again. The guards call it before they read: what a tree walk left behind
  // may no longer be true.
  virtual void forgetRemembered() = 0;
};

}  // namespace kex::platform

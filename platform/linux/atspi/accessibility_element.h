// How an element of the accessibility bus is named, and the fixed names of AT-SPI.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/accessibility.h"
#include "platform/linux/atspi/accessibility_bus.h"

namespace kex::platform::atspi {

// Interface, service and path names of AT-SPI 2 and the bus daemon.
namespace atspi {
inline constexpr char kAccessible[] = "org.a11y.atspi.Accessible";
inline constexpr char kComponent[] = "org.a11y.atspi.Component";
inline constexpr char kAction[] = "org.a11y.atspi.Action";
inline constexpr char kApplication[] = "org.a11y.atspi.Application";
inline constexpr char kCollection[] = "org.a11y.atspi.Collection";
inline constexpr char kProperties[] = "org.freedesktop.DBus.Properties";
inline constexpr char kRegistryService[] = "org.a11y.atspi.Registry";
inline constexpr char kBusService[] = "org.freedesktop.DBus";
inline constexpr char kBusPath[] = "/org/freedesktop/DBus";
// Every application's own object, the parent of its windows.
inline constexpr std::string_view kRootPath = "/org/a11y/atspi/accessible/root";
// The reference that stands for no object at all.
inline constexpr std::string_view kNullPath = "/org/a11y/atspi/null";

// Bit positions of the AT-SPI state set.
inline constexpr int kStateActive = 1;
inline constexpr int kStateEnabled = 8;
inline constexpr int kStateFocused = 12;
inline constexpr int kStateShowing = 25;

// Component coordinates relative to the screen's top left corner.
inline constexpr std::uint32_t kScreenCoordinates = 0;
}  // namespace atspi

// One element as the backend names it: an object of one connection to the accessibility bus,
// the system-wide element, or the element of nothing (an application that was not found).
// Immutable: any thread.
class AtspiElement final : public ElementRef {
 public:
  enum class Kind { object, systemWide, nothing };

  [[nodiscard]] static Element object(std::uint64_t generation, ObjectKey key);
  [[nodiscard]] static Element systemWide();
  [[nodiscard]] static Element nothing();

  AtspiElement(Kind kind, std::uint64_t generation, ObjectKey key)
      : kind_(kind), generation_(generation), key_(std::move(key)) {}

  [[nodiscard]] bool sameElement(const ElementRef& other) const override;

  [[nodiscard]] Kind kind() const { return kind_; }
  [[nodiscard]] std::uint64_t generation() const { return generation_; }
  [[nodiscard]] const ObjectKey& key() const { return key_; }
  [[nodiscard]] bool isApplication() const {
    return kind_ == Kind::object && key_.path == atspi::kRootPath;
  }

 private:
  Kind kind_;
  std::uint64_t generation_;
  ObjectKey key_;
};

// The backend's own description of the element; nullptr for one made by anyone else.
[[nodiscard]] const AtspiElement* atspiElementOf(const Element& element);

}  // namespace kex::platform::atspi

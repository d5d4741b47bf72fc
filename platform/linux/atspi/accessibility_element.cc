#include "platform/linux/atspi/accessibility_element.h"

namespace kex::platform::atspi {

Element AtspiElement::object(std::uint64_t generation, ObjectKey key) {
  return Element(std::make_shared<AtspiElement>(Kind::object, generation, std::move(key)));
}

Element AtspiElement::systemWide() {
  return Element(std::make_shared<AtspiElement>(Kind::systemWide, 0, ObjectKey{}));
}

Element AtspiElement::nothing() {
  return Element(std::make_shared<AtspiElement>(Kind::nothing, 0, ObjectKey{}));
}

// The element of nothing is no element, so it equals none, not even itself.
bool AtspiElement::sameElement(const ElementRef& other) const {
  const auto* atspi = dynamic_cast<const AtspiElement*>(&other);
  if (atspi == nullptr || kind_ != atspi->kind_ || kind_ == Kind::nothing) return false;
  return generation_ == atspi->generation_ && key_ == atspi->key_;
}

const AtspiElement* atspiElementOf(const Element& element) {
  return dynamic_cast<const AtspiElement*>(&element.ref());
}

}  // namespace kex::platform::atspi

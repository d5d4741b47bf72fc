// Which of an element's AT-SPI actions a press means.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace kex::platform::atspi {

// The index of the action named "click", "press", "activate" or "toggle" (ignoring case), in
// that order of preference, else the first action; nothing when there is none. Toolkits name
// a button's action "click" (GTK) or "Press" (Qt), an entry's "activate", a check box's
// "toggle".
[[nodiscard]] std::optional<std::size_t> preferredPressAction(
    const std::vector<std::string>& actionNames);

}  // namespace kex::platform::atspi

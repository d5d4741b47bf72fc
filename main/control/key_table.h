// The keys "computer.keyboard" can press by name and the modifiers it can hold with them.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace kex {

// The virtual key code of a key name ("Return", "Tab", "a", ...), matched exactly; nothing for
// any other name.
[[nodiscard]] std::optional<std::uint16_t> keyCodeNamed(std::string_view name);

// The flag of a modifier name ("meta", "shift", "control", "alt"), matched exactly; nothing
// for any other name.
[[nodiscard]] std::optional<std::uint64_t> modifierFlagNamed(std::string_view name);

}  // namespace kex

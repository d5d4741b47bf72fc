// The names of AT-SPI's roles, by number, as its client library names them.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace kex::platform::atspi {

// The role's name; nothing for the extended role, whose name only the application knows, and
// for a number past the known roles.
[[nodiscard]] std::optional<std::string_view> roleName(std::uint32_t role);

}  // namespace kex::platform::atspi

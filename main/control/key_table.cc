#include "main/control/key_table.h"

#include <array>
#include <utility>

#include "platform/events.h"

namespace kex {
namespace {

constexpr std::array<std::pair<std::string_view, std::uint16_t>, 13> kKeys = {{
    {"Return", 36},
    {"Tab", 48},
    {"Escape", 53},
    {"Backspace", 51},
    {"Left", 123},
    {"Right", 124},
    {"Down", 125},
    {"Up", 126},
    {"a", 0},
    {"c", 8},
    {"v", 9},
    {"x", 7},
    {"z", 6},
}};

constexpr std::array<std::pair<std::string_view, std::uint64_t>, 4> kModifiers = {{
    {"meta", platform::modifier::command},
    {"shift", platform::modifier::shift},
    {"control", platform::modifier::control},
    {"alt", platform::modifier::alternate},
}};

template <typename Table>
auto lookUp(const Table& table, std::string_view name)
    -> std::optional<typename Table::value_type::second_type> {
  for (const auto& [key, value] : table) {
    if (key == name) return value;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::uint16_t> keyCodeNamed(std::string_view name) { return lookUp(kKeys, name); }

std::optional<std::uint64_t> modifierFlagNamed(std::string_view name) {
  return lookUp(kModifiers, name);
}

}  // namespace kex

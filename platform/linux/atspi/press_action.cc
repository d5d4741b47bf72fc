#include "platform/linux/atspi/press_action.h"

#include <strings.h>

#include <array>
#include <string_view>

namespace kex::platform::atspi {
namespace {

constexpr std::array<std::string_view, 4> kPreferred = {"click", "press", "activate", "toggle"};

bool sameName(const std::string& name, std::string_view wanted) {
  return name.size() == wanted.size() &&
         strncasecmp(name.c_str(), wanted.data(), wanted.size()) == 0;
}

}  // namespace

std::optional<std::size_t> preferredPressAction(const std::vector<std::string>& actionNames) {
  for (const std::string_view wanted : kPreferred) {
    for (std::size_t index = 0; index < actionNames.size(); ++index) {
      if (sameName(actionNames[index], wanted)) return index;
    }
  }
  if (actionNames.empty()) return std::nullopt;
  return 0;
}

}  // namespace kex::platform::atspi

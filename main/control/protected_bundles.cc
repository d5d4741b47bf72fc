#include "main/control/protected_bundles.h"

namespace kex {

std::string_view lastPathComponent(std::string_view identifier) {
  const auto slash = identifier.rfind('/');
  if (slash == std::string_view::npos) return identifier;
  return identifier.substr(slash + 1);
}

ProtectedBundles::ProtectedBundles(std::string hostBundleIdentifier,
                                   const std::vector<std::string>& platformNames)
    : host_(std::move(hostBundleIdentifier)) {
  for (const auto& name : platformNames) {
    if (!name.empty()) names_.insert(name);
  }
}

bool ProtectedBundles::contains(const std::optional<std::string>& bundleIdentifier) const {
  const std::string& identifier = bundleIdentifier ? *bundleIdentifier : std::string();
  if (identifier.empty()) return false;
  if (!host_.empty() && identifier == host_) return true;
  if (names_.contains(identifier)) return true;
  const auto fileName = lastPathComponent(identifier);
  return !fileName.empty() && names_.contains(std::string(fileName));
}

}  // namespace kex

// The applications whose windows are never controlled.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace kex {

// An immutable set: the host application's own bundle identifier, compared whole, and the
// platform's protected surfaces, each compared with the whole identifier and with its last
// path component (on Linux an identifier is an executable's path, so a polkit agent or a
// screen locker is known by its file name wherever it is installed). Any thread once built.
class ProtectedBundles {
 public:
  ProtectedBundles(std::string hostBundleIdentifier, const std::vector<std::string>& platformNames);

  // True when the application is protected. An application without a bundle identifier
  // compares as the empty string, which is never protected.
  [[nodiscard]] bool contains(const std::optional<std::string>& bundleIdentifier) const;

 private:
  std::string host_;
  std::unordered_set<std::string> names_;
};

// The part after the last '/', or the whole text when it has none.
[[nodiscard]] std::string_view lastPathComponent(std::string_view identifier);

}  // namespace kex

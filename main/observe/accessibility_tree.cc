#include "main/observe/accessibility_tree.h"

#include <algorithm>
#include <cmath>

#include "main/common/failure.h"
#include "main/common/identifiers.h"
#include "main/observe/text.h"

namespace kex {
namespace {

constexpr int kMaxDepth = 12;
constexpr std::size_t kMaxChildren = 256;
constexpr std::int64_t kMaxBudget = 256;
constexpr std::size_t kMaxTitleCharacters = 512;
constexpr std::string_view kSecureTextField = "AXSecureTextField";

// "maxNodes" clamped to 1...256; absent, non-numeric and fractional values count as 1.
std::int64_t budgetOf(const Json& args) {
  auto found = args.find("maxNodes");
  if (found == args.end() || !found->is_number()) return 1;
  const double requested = found->get<double>();
  if (!std::isfinite(requested) || std::floor(requested) != requested) return 1;
  return static_cast<std::int64_t>(std::clamp(requested, 1.0, static_cast<double>(kMaxBudget)));
}

const Json kTruncated = {{"truncated", true}};

}  // namespace

AccessibilityTree::AccessibilityTree(platform::Desktop& desktop, Observation& observation)
    : desktop_(desktop), observation_(observation), elements_(observation.elements()) {}

Json AccessibilityTree::describeWindow(const Json& args) {
  const Json targetId = args.contains("targetId") ? args["targetId"] : Json();
  const Target target = observation_.windowTarget(targetId);
  const auto window = observation_.verify(target);
  if (!desktop_.system().accessibilityTrusted()) throw Failure(codes::permissionRequired);
  std::int64_t budget = budgetOf(args);
  const auto root = elements_.axWindow(window);
  observation_.registries().nodes.clear();
  return {{"scope", "window"}, {"targetId", targetId}, {"tree", describe(root, budget, 0, target)}};
}

Json AccessibilityTree::describe(const platform::Element& element, std::int64_t& budget, int depth,
                                 const Target& target) {
  namespace attributes = platform::attributes;
  if (budget <= 0 || depth > kMaxDepth) return kTruncated;
  --budget;
  const auto role = elements_.text(element, attributes::role).value_or("unreadable");
  if (elements_.text(element, attributes::subrole).value_or("") == kSecureTextField) {
    return {{"role", role}, {"protected", true}};
  }
  Json description = {
      {"role", role},
      {"title", firstCharacters(elements_.text(element, attributes::title).value_or(""),
                                kMaxTitleCharacters)},
      {"enabled", elements_.flag(element, attributes::enabled).value_or(false)}};
  auto nodeId = newIdentifier();
  observation_.registries().nodes.emplace(nodeId, Node{element, target, desktop_.clock().now()});
  description["nodeId"] = std::move(nodeId);

  const auto children = elements_.elements(element, attributes::children);
  if (!children) return description;
  Json described = Json::array();
  const auto count = std::min(children->size(), kMaxChildren);
  for (std::size_t i = 0; i < count && budget >= 1; ++i) {
    described.push_back(describe((*children)[i], budget, depth + 1, target));
  }
  description["children"] = std::move(described);
  return description;
}

}  // namespace kex

#include "main/control/focus_actions.h"

#include "main/common/failure.h"

namespace kex {

namespace attributes = platform::attributes;

namespace {

const Json kVerified = {{"verified", true}};
const Json kUnverified = {{"verified", false}};

std::optional<std::int32_t> ownerPid(const platform::WindowInfo& window) {
  if (!window.owner) return std::nullopt;
  return window.owner->processId;
}

}  // namespace

FocusActions::FocusActions(platform::Desktop& desktop, Observation& observation,
                           InputSafety& safety, Guards& guards)
    : desktop_(desktop),
      observation_(observation),
      elements_(observation.elements()),
      safety_(safety),
      guards_(guards) {}

Json FocusActions::focus(const Json& args) {
  const Json targetId = args.contains("targetId") ? args["targetId"] : Json();
  // A copy: the record must stay the same for the second verification.
  const Target target = observation_.windowTarget(targetId);
  safety_.begin();
  guards_.readAfresh();
  const platform::WindowInfo window = observation_.verify(target);
  if (!window.owner) throw Failure(codes::protectedTarget);
  if (guards_.protectedBundles().contains(window.owner->bundleIdentifier)) {
    throw Failure(codes::protectedTarget);
  }
  const auto pid = window.owner->processId;
  if (guards_.isSelfOrHost(pid)) throw Failure(codes::protectedTarget);
  const platform::Element windowElement = elements_.axWindow(window);
  safety_.check();
  if (!desktop_.windows().processRecord(pid)) throw Failure(codes::inputBlocked);

  safety_.noteMutationAttempt();
  if (!desktop_.windows().activateApplication(pid)) throw Failure(codes::inputBlocked);
  safety_.noteMutationAttempt();
  if (!desktop_.accessibility().performAction(windowElement, platform::actions::raise)) {
    throw Failure(codes::inputBlocked);
  }
  desktop_.clock().sleep(kRaiseSettleTime);
  (void)observation_.verify(target);
  // The proof reads the focus as it is now, not as it was before the raise.
  guards_.readAfresh();
  (void)guards_.requireFocused(window);
  return kVerified;
}

Json FocusActions::action(const Json& args) {
  const auto nodeId = args.find("nodeId");
  if (nodeId == args.end() || !nodeId->is_string()) throw Failure(codes::targetStale);
  const auto& nodes = observation_.registries().nodes;
  const auto entry = nodes.find(nodeId->get_ref<const std::string&>());
  if (entry == nodes.end()) throw Failure(codes::targetStale);
  const Node node = entry->second;
  if (platform::secondsBetween(node.created, desktop_.clock().now()) >= kNodeMaxAge) {
    throw Failure(codes::targetStale);
  }

  const InputTarget target = guards_.inputTarget(args);
  if (target.window.windowId != node.target.window.windowId) throw Failure(codes::targetStale);
  if (ownerPid(target.capture.target.window) != ownerPid(node.target.window)) {
    throw Failure(codes::targetStale);
  }
  const platform::Element windowElement = elements_.axWindow(target.window);
  if (!guards_.withinWindow(node.element, windowElement)) throw Failure(codes::protectedTarget);
  if (elements_.text(node.element, attributes::subrole) == platform::values::secureTextField) {
    throw Failure(codes::protectedTarget);
  }
  if (elements_.flag(node.element, attributes::enabled) != true) {
    throw Failure(codes::protectedTarget);
  }
  safety_.check();
  (void)guards_.requireFocused(target.window);

  const auto action = args.find("action");
  const std::string name =
      action != args.end() && action->is_string() ? action->get<std::string>() : std::string();
  auto& accessibility = desktop_.accessibility();
  bool done = false;
  if (name == "press") {
    safety_.noteMutationAttempt();
    done = accessibility.performAction(node.element, platform::actions::press);
  } else if (name == "focus") {
    safety_.noteMutationAttempt();
    done = accessibility.setFocused(node.element);
  } else {
    throw Failure(codes::invalidArguments);
  }
  if (!done) throw Failure(codes::inputBlocked);
  return kUnverified;
}

}  // namespace kex

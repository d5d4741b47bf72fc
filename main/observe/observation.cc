#include "main/observe/observation.h"

#include <algorithm>
#include <cmath>

#include "main/common/failure.h"
#include "main/common/identifiers.h"
#include "main/observe/text.h"
#include "main/session/topology.h"

namespace kex {
namespace {

constexpr std::size_t kMaxListed = 128;
constexpr std::size_t kMaxTitleCharacters = 512;

std::string titleOf(const platform::WindowInfo& window) {
  return firstCharacters(window.title.value_or(""), kMaxTitleCharacters);
}

}  // namespace

Json rect(const platform::Rect& rectangle) {
  return {{"x", rectangle.x},
          {"y", rectangle.y},
          {"width", std::fabs(rectangle.width)},
          {"height", std::fabs(rectangle.height)}};
}

Observation::Observation(platform::Desktop& desktop, SessionGate& session, InputSafety& safety,
                         ObservationOptions options)
    : desktop_(desktop),
      session_(session),
      safety_(safety),
      options_(std::move(options)),
      elements_(desktop) {}

double Observation::age(platform::Timestamp created) {
  return platform::secondsBetween(created, desktop_.clock().now());
}

platform::ShareableContent Observation::content() {
  session_.requireActive();
  if (!desktop_.system().screenCaptureAccess()) throw Failure(codes::permissionRequired);
  auto content = desktop_.windows().shareableContent();
  session_.requireActive();
  return content;
}

Json Observation::listDisplays() {
  const auto content = this->content();
  registries_.displayTargets.clear();
  const auto revision = topology(desktop_.displays());
  Json displays = Json::array();
  const auto count = std::min(content.displays.size(), kMaxListed);
  for (std::size_t i = 0; i < count; ++i) {
    const auto& display = content.displays[i];
    auto id = newIdentifier();
    registries_.displayTargets.emplace(id,
                                       DisplayTarget{display, desktop_.clock().now(), revision});
    const auto now = desktop_.displays().activeDisplay(display.displayId);
    displays.push_back({{"displayId", std::to_string(display.displayId)},
                        {"targetId", id},
                        {"sourceRect", rect(display.frame)},
                        {"pixelWidth", now ? now->pixelWidth : 0},
                        {"pixelHeight", now ? now->pixelHeight : 0},
                        {"rotation", now ? now->rotation : 0.0}});
  }
  return {{"displays", displays}, {"topologyRevision", revision}};
}

Json Observation::listWindows() {
  const auto content = this->content();
  registries_.targets.clear();
  registries_.captures.clear();
  registries_.nodes.clear();
  Json windows = Json::array();
  std::size_t considered = 0;
  for (const auto& window : content.windows) {
    if (window.layer != 0 || window.frame.width <= 0 || window.frame.height <= 0) continue;
    // Skipped windows still count, so a listing never looks further than 128 candidates.
    if (++considered > kMaxListed) break;
    if (!window.owner) continue;
    if (window.owner->bundleIdentifier == options_.hostBundleIdentifier) continue;
    if (options_.fixturePid && window.owner->processId != *options_.fixturePid) continue;
    auto id = newIdentifier();
    registries_.targets.emplace(
        id, Target{window, desktop_.clock().now(), topology(desktop_.displays()),
                   processIdentity(window.owner->processId)});
    windows.push_back({{"targetId", id},
                       {"title", titleOf(window)},
                       {"application", window.owner->applicationName},
                       {"sourceRect", rect(window.frame)}});
  }
  return {{"windows", windows}};
}

std::optional<std::string> Observation::processIdentity(std::int32_t pid) {
  const auto record = desktop_.windows().processRecord(pid);
  if (!record || record->userId != desktop_.session().realUserId()) return std::nullopt;
  return std::to_string(record->startSeconds) + ":" + std::to_string(record->startMicroseconds);
}

platform::WindowInfo Observation::verify(const Target& target) {
  safety_.check();
  if (age(target.created) > kTargetMaxAge) throw Failure(codes::targetStale);
  if (target.revision != topology(desktop_.displays())) throw Failure(codes::targetStale);
  if (!target.window.owner) throw Failure(codes::targetStale);
  const auto pid = target.window.owner->processId;
  if (!target.processStarted || processIdentity(pid) != target.processStarted) {
    throw Failure(codes::targetStale);
  }
  if (!desktop_.system().screenCaptureAccess()) throw Failure(codes::targetStale);
  if (!liveWindowMatches(target, pid)) throw Failure(codes::targetStale);
  safety_.check();
  return target.window;
}

bool Observation::liveWindowMatches(const Target& target, std::int32_t pid) {
  auto& windows = desktop_.windows();
  const auto records = windows.liveWindow(target.window.windowId);
  if (!records) return false;
  auto live = std::find_if(records->begin(), records->end(), [&](const platform::LiveWindow& w) {
    return w.windowId == target.window.windowId;
  });
  if (live == records->end()) return false;
  const bool sameOwner = live->ownerProcessId == pid;
  const bool onScreen = live->onScreen == true;
  const bool sameFrame = live->bounds == target.window.frame;
  const bool sameTitle = live->name.value_or("") == target.window.title.value_or("");
  const bool sameBundle = windows.bundleIdentifierOf(pid).value_or("") ==
                          target.window.owner->bundleIdentifier.value_or("");
  return sameOwner && onScreen && sameFrame && sameTitle && sameBundle;
}

void Observation::verifyDisplay(const DisplayTarget& target) {
  session_.requireActive();
  if (!desktop_.system().screenCaptureAccess()) throw Failure(codes::permissionRequired);
  if (age(target.created) >= kTargetMaxAge) throw Failure(codes::targetStale);
  if (target.revision != topology(desktop_.displays())) throw Failure(codes::targetStale);
  const auto display = desktop_.displays().activeDisplay(target.display.displayId);
  if (!display) throw Failure(codes::targetStale);
  if (display->bounds != target.display.frame) throw Failure(codes::targetStale);
}

bool Observation::isDisplayTarget(const Json& targetId) const {
  return targetId.is_string() && registries_.displayTargets.count(targetId.get<std::string>()) != 0;
}

const Target& Observation::windowTarget(const Json& targetId) const {
  if (!targetId.is_string()) throw Failure(codes::targetStale);
  auto found = registries_.targets.find(targetId.get<std::string>());
  if (found == registries_.targets.end()) throw Failure(codes::targetStale);
  return found->second;
}

}  // namespace kex

#include "main/session/status.h"

#include <vector>

#include "main/session/topology.h"

namespace kex {
namespace {

void offer(std::vector<std::string>& operations, const StatusSources& sources,
           std::string_view name) {
  if (sources.built(name)) operations.emplace_back(name);
}

}  // namespace

Json status(StatusSources& sources, const std::string& sessionId) {
  // The order of these readings matters: several have effects or cost, and the later
  // permission queries are not made once an earlier one is false.
  const bool capture = sources.system.screenCaptureAccess();
  const bool accessibility = sources.system.accessibilityTrusted();
  const bool sessionActive = sources.session.active();
  // "computer.capture" is offered while either kind works; the other kind answers
  // "backend_unsupported" on its own.
  const bool captureSupported = sources.system.supportsCapture(platform::CaptureKind::display) ||
                                sources.system.supportsCapture(platform::CaptureKind::window);

  std::vector<std::string> operations;
  if (sessionActive && capture) {
    offer(operations, sources, "computer.displays");
    offer(operations, sources, "computer.windows");
    if (captureSupported) offer(operations, sources, "computer.capture");
  }

  const bool input =
      accessibility && sources.system.postEventAccess() && sources.system.listenEventAccess();

  // Keyboard, pointer and element actions act on a window capture; without window captures
  // nothing could be targeted, so control is not offered either.
  bool controlReady = false;
  if (sessionActive && capture && input && sources.system.supportsControl() &&
      sources.system.supportsCapture(platform::CaptureKind::window)) {
    controlReady = sources.control.controlReady();
  }
  if (controlReady) {
    offer(operations, sources, "computer.focus");
    offer(operations, sources, "computer.pointer");
    offer(operations, sources, "computer.keyboard");
  }

  Json result = Json::object();
  result["sessionId"] = sessionId;
  result["backend"] = sources.system.backendName();
  result["sessionState"] = std::string(sources.session.state());
  result["topologyRevision"] = topology(sources.displays);
  result["permissions"] = {
      {"capture", capture}, {"accessibility", accessibility}, {"input", input}};
  result["controlReady"] = controlReady;
  result["operations"] = operations;
  result["limitations"] = sources.system.limitations();
  return result;
}

}  // namespace kex

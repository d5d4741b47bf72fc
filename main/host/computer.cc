#include "main/host/computer.h"

#include "main/common/failure.h"
#include "main/common/identifiers.h"
#include "main/session/status.h"
#include "main/session/topology.h"

namespace kex {
namespace {

// The string under the key, or nothing when it is missing or not a string.
const std::string* stringArgument(const Json& args, const char* key) {
  auto found = args.find(key);
  if (found == args.end() || !found->is_string()) return nullptr;
  return found->get_ptr<const std::string*>();
}

}  // namespace

Computer::Computer(platform::Desktop& desktop, SessionGate& session, InputSafety& safety,
                   ObservationOptions options)
    : desktop_(desktop),
      session_(session),
      safety_(safety),
      observation_(desktop, session, safety, options),
      screenshots_(desktop, session, observation_),
      trees_(desktop, observation_),
      guards_(desktop, observation_, safety, options.hostBundleIdentifier),
      focusActions_(desktop, observation_, safety, guards_),
      keyboard_(safety, guards_),
      pointer_(desktop, observation_, safety, guards_) {}

const std::string& Computer::sessionId() {
  if (!sessionId_) sessionId_ = newIdentifier();
  return *sessionId_;
}

bool Computer::builds(std::string_view operation) {
  return operation == "status" || operation == "computer.displays" ||
         operation == "computer.windows" || operation == "computer.capture" ||
         operation == "computer.accessibility" || operation == "computer.focus" ||
         operation == "computer.action" || operation == "computer.keyboard" ||
         operation == "computer.pointer";
}

Json Computer::invoke(const std::string& operation, const Json& args) {
  desktop_.accessibility().beginRequest();
  if (operation == "status") {
    StatusSources sources{desktop_.system(), session_, desktop_.displays(), safety_, &builds};
    return status(sources, sessionId());
  }
  session_.requireActive();
  requireFresh(args);
  if (operation == "computer.displays") return observation_.listDisplays();
  if (operation == "computer.windows") return observation_.listWindows();
  if (operation == "computer.capture") return screenshots_.capture(args, sessionId());
  if (operation == "computer.accessibility") return trees_.describeWindow(args);
  if (isInput(operation)) return control(operation, args);
  throw Failure(codes::capabilityUnavailable);
}

bool Computer::isInput(std::string_view operation) {
  return operation == "computer.focus" || operation == "computer.action" ||
         operation == "computer.keyboard" || operation == "computer.pointer";
}

// Control that stops while a request runs (the person took over, the monitor or the watchdog
// was lost) explains whatever the request then ran into: a window the person moved is stale, a
// point they covered occluded. The host hears the stop reason, which tells it control is over.
Json Computer::control(const std::string& operation, const Json& args) {
  const bool stoppedBefore = safety_.stopped();
  try {
    if (operation == "computer.focus") return focusActions_.focus(args);
    if (operation == "computer.action") return focusActions_.action(args);
    if (operation == "computer.keyboard") return keyboard_.type(args);
    return pointer_.act(args);
  } catch (const Failure&) {
    if (stoppedBefore || !safety_.stopped()) throw;
    throw Failure(safety_.stopReason());
  } catch (const platform::PlatformError&) {
    if (stoppedBefore || !safety_.stopped()) throw;
    throw Failure(safety_.stopReason());
  }
}

void Computer::requireFresh(const Json& args) {
  const auto* session = stringArgument(args, "sessionId");
  if (session == nullptr || *session != sessionId()) throw Failure(codes::topologyChanged);
  const auto* revision = stringArgument(args, "topologyRevision");
  if (revision == nullptr || *revision != topology(desktop_.displays())) {
    throw Failure(codes::topologyChanged);
  }
}

}  // namespace kex

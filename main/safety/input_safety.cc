#include "main/safety/input_safety.h"

#include <cstdio>
#include <cstdlib>
#include <exception>

#include "main/common/failure.h"

namespace kex {
namespace {

using platform::Event;
using platform::EventType;

bool isPress(EventType type) {
  return type == EventType::keyDown || type == EventType::leftMouseDown ||
         type == EventType::rightMouseDown || type == EventType::otherMouseDown;
}

// A press without a registered release could leave a key or button down for good; that is a
// programming error, never a runtime condition, so it ends the process at once.
void requireReleaseForPress(const Event& event, const std::optional<Event>& release) {
  if (!isPress(event.type) || release) return;
  std::fputs("input safety: press posted without a registered release\n", stderr);
  std::abort();
}

// The kinds of input that stop armed control. A drag with only another button held (the middle
// one, say) is not among them: its press already was.
bool interruptsControl(EventType type) {
  switch (type) {
    case EventType::keyDown:
    case EventType::keyUp:
    case EventType::flagsChanged:
    case EventType::mouseMoved:
    case EventType::leftMouseDown:
    case EventType::leftMouseUp:
    case EventType::rightMouseDown:
    case EventType::rightMouseUp:
    case EventType::otherMouseDown:
    case EventType::otherMouseUp:
    case EventType::leftMouseDragged:
    case EventType::rightMouseDragged:
    case EventType::scrollWheel:
      return true;
    case EventType::otherMouseDragged:
      return false;
  }
  return false;
}

}  // namespace

InputSafety::InputSafety(platform::Desktop& desktop, SessionGate& session,
                         InputSafetyOptions options)
    : events_(desktop.events()),
      system_(desktop.system()),
      session_(session),
      options_(std::move(options)),
      ownProcessId_(desktop.windows().ownProcessId()) {}

InputSafety::~InputSafety() {
  std::unique_ptr<InputMonitor> monitor;
  {
    threads::Lock guard(lock_);
    monitor = std::move(monitor_);
  }
  // Outside the lock: the monitor thread may be waiting for it in a callback.
  monitor.reset();
  threads::Lock guard(lock_);
  if (keys_.empty() && buttons_.empty()) return;
  std::fputs("input safety: destroyed while input is held\n", stderr);
  std::abort();
}

void InputSafety::beginRequest(std::string_view operation) {
  threads::Lock guard(lock_);
  const bool inherited = stopped_ || !keys_.empty() || !buttons_.empty() || !unreleased_.empty();
  dispatch_.begin(operation, inherited);
}

void InputSafety::endRequest() {
  threads::Lock guard(lock_);
  dispatch_.end();
}

void InputSafety::noteMutationAttempt() {
  threads::Lock guard(lock_);
  dispatch_.attempt();
}

void InputSafety::noteUncertainOutcome() {
  threads::Lock guard(lock_);
  dispatch_.uncertain();
}

bool InputSafety::requestMayHaveDispatched() {
  threads::Lock guard(lock_);
  return dispatch_.mayHaveDispatched();
}

void InputSafety::check() {
  threads::Lock guard(lock_);
  if (stopped_) throw Failure(reason_);
  session_.requireActive();
}

void InputSafety::begin() {
  threads::Lock guard(lock_);
  prepare();
  if (!watchdog_) startWatchdog();
  armed_ = true;
}

void InputSafety::startWatchdog() {
  if (!options_.launchWatchdog) {
    throw platform::PlatformError("no release watchdog can be started");
  }
  // The child is kept only once it has answered its first exchange, which also waits for it to
  // start and take the control lock. A child that refused or did not answer goes with `child`
  // whatever the exchange threw (closing its pipes ends it), and the next begin() starts a new
  // one.
  std::unique_ptr<WatchdogChannel> child = options_.launchWatchdog();
  if (!child) throw platform::PlatformError("the release watchdog did not start");
  child->exchange({});
  watchdog_ = std::move(child);
}

void InputSafety::post(const Event& event, const std::optional<Event>& release,
                       std::optional<std::uint16_t> key) {
  threads::Lock guard(lock_);
  requireReleaseForPress(event, release);
  check();
  const DispatchEvidence before = dispatch_;
  std::optional<Event> replaced;
  if (release) {
    dispatch_.uncertain();
    if (key) {
      if (const auto held = keys_.find(*key); held != keys_.end()) replaced = held->second;
      registerKeyRelease(*key, *release);
    } else {
      buttons_.push_back(*release);
    }
    guardHeld(heldList());
  }
  dispatch_.attempt();
  try {
    events_.post(event);
  } catch (const platform::EventNotPosted& notPosted) {
    // None of it reached the desktop: there is nothing to release, and the request has
    // dispatched no more than before. The watchdog hears of the release's removal with the
    // next held set; until then it would at worst release what is not down.
    if (release) forgetRelease(key, replaced);
    dispatch_ = before;
    if (notPosted.reason() == platform::EventNotPosted::Reason::unrepresentable) {
      throw Failure(codes::inputBlocked);
    }
    throw;
  }
}

void InputSafety::forgetRelease(std::optional<std::uint16_t> key,
                                const std::optional<Event>& replaced) {
  if (!key) {
    buttons_.pop_back();
    return;
  }
  if (replaced) {
    keys_.insert_or_assign(*key, *replaced);
  } else {
    keys_.erase(*key);
  }
}

// The modifier keys held for an earlier press of the same key are still down when it is pressed
// again, so its new release lets go of them too: the release a second press replaces would have.
void InputSafety::registerKeyRelease(std::uint16_t key, Event release) {
  if (const auto held = keys_.find(key); held != keys_.end()) release.flags |= held->second.flags;
  keys_.insert_or_assign(key, std::move(release));
}

void InputSafety::release() {
  threads::Lock guard(lock_);
  releaseLocked();
}

void InputSafety::cancel(std::string_view reason) {
  threads::Lock guard(lock_);
  dispatch_.uncertain();
  stopped_ = true;
  reason_ = std::string(reason);
  releaseLocked();
}

void InputSafety::prepare() {
  threads::Lock guard(lock_);
  check();
  if (!started_) startMonitor();
  if (monitor_->healthy()) return;
  cancel(codes::inputMonitorLost);
  throw Failure(codes::inputMonitorLost);
}

void InputSafety::startMonitor() {
  if (!system_.listenEventAccess()) throw Failure(codes::permissionRequired);
  platform::InputTapListener& listener = *this;
  if (!monitor_) monitor_ = std::make_unique<InputMonitor>(events_, listener);
  if (!monitor_->start(options_.monitorStartLimit)) {
    cancel(codes::inputMonitorUnavailable);
    throw Failure(codes::inputMonitorUnavailable);
  }
  started_ = true;
}

bool InputSafety::controlReady() {
  try {
    prepare();
    return true;
  } catch (const Failure&) {
    return false;
  } catch (const std::exception&) {
    return false;
  }
}

void InputSafety::interrupt() {
  threads::Lock guard(lock_);
  if (armed_) cancel(codes::humanInterrupted);
}

void InputSafety::inputObserved(const platform::ObservedInput& input) {
  if (!interruptsControl(input.type)) return;
  if (input.sourceProcessId == ownProcessId_) return;
  interrupt();
}

void InputSafety::tapDisabled() { cancel(codes::inputMonitorLost); }

bool InputSafety::stopped() {
  threads::Lock guard(lock_);
  return stopped_;
}

bool InputSafety::armed() {
  threads::Lock guard(lock_);
  return armed_;
}

std::string InputSafety::stopReason() {
  threads::Lock guard(lock_);
  return reason_;
}

std::size_t InputSafety::heldCount() {
  threads::Lock guard(lock_);
  return keys_.size() + buttons_.size() + unreleased_.size();
}

void InputSafety::releaseLocked() {
  std::vector<Event> unposted;
  for (const auto& held : heldList()) {
    dispatch_.attempt();
    if (!postRelease(held)) unposted.push_back(held);
  }
  keys_.clear();
  buttons_.clear();
  unreleased_ = std::move(unposted);
  if (!watchdog_) return;
  try {
    guardHeld(unreleased_);
  } catch (const Failure&) {
    loseWatchdog();
  } catch (const std::exception&) {
    loseWatchdog();
  }
}

bool InputSafety::postRelease(const Event& release) {
  try {
    events_.post(release);
    return true;
  } catch (const std::exception&) {
    // Whether the key or button went up is unknown.
    dispatch_.uncertain();
    return false;
  }
}

void InputSafety::loseWatchdog() {
  // The child may still hold releases that were already posted; it would post them again at
  // worst, which is harmless, but control cannot go on without a watchdog that listens.
  dispatch_.uncertain();
  stopped_ = true;
  reason_ = std::string(codes::inputWatchdogLost);
}

void InputSafety::guardHeld(const std::vector<Event>& held) {
  if (!watchdog_) throw Failure(codes::inputWatchdogLost);
  watchdog_->exchange(held);
}

std::vector<Event> InputSafety::heldList() const {
  std::vector<Event> held = unreleased_;
  held.reserve(unreleased_.size() + keys_.size() + buttons_.size());
  for (const auto& [code, release] : keys_) held.push_back(release);
  held.insert(held.end(), buttons_.begin(), buttons_.end());
  return held;
}

}  // namespace kex

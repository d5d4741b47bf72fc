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

}  // namespace

InputSafety::InputSafety(platform::EventServices& events, SessionGate& session)
    : events_(events), session_(session) {}

void InputSafety::beginRequest(std::string_view operation) {
  threads::Lock guard(lock_);
  const bool inherited = stopped_ || !keys_.empty() || !buttons_.empty();
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

void InputSafety::post(const Event& event, const std::optional<Event>& release,
                       std::optional<std::uint16_t> key) {
  threads::Lock guard(lock_);
  requireReleaseForPress(event, release);
  check();
  if (release) {
    dispatch_.uncertain();
    if (key) {
      keys_.insert_or_assign(*key, *release);
    } else {
      buttons_.push_back(*release);
    }
    guardHeld(heldList());
  }
  dispatch_.attempt();
  events_.post(event);
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

bool InputSafety::controlReady() { return false; }

void InputSafety::adoptWatchdog(std::unique_ptr<WatchdogChannel> watchdog) {
  threads::Lock guard(lock_);
  watchdog_ = std::move(watchdog);
}

bool InputSafety::stopped() {
  threads::Lock guard(lock_);
  return stopped_;
}

std::string InputSafety::stopReason() {
  threads::Lock guard(lock_);
  return reason_;
}

std::size_t InputSafety::heldCount() {
  threads::Lock guard(lock_);
  return keys_.size() + buttons_.size();
}

void InputSafety::releaseLocked() {
  for (const auto& held : heldList()) {
    dispatch_.attempt();
    events_.post(held);
  }
  keys_.clear();
  buttons_.clear();
  if (!watchdog_) return;
  try {
    guardHeld({});
  } catch (const Failure&) {
    loseWatchdog();
  } catch (const std::exception&) {
    loseWatchdog();
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
  std::vector<Event> held;
  held.reserve(keys_.size() + buttons_.size());
  for (const auto& [code, release] : keys_) held.push_back(release);
  held.insert(held.end(), buttons_.begin(), buttons_.end());
  return held;
}

}  // namespace kex

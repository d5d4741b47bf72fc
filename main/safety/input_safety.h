// The one gate through which every synthetic input passes.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "main/safety/dispatch_evidence.h"
#include "main/safety/watchdog_channel.h"
#include "main/session/control_readiness.h"
#include "main/session/session_state.h"
#include "platform/events.h"
#include "threads/mutex.h"

namespace kex {

// Keeps the per-request dispatch evidence, refuses all input once control has stopped, posts
// events, remembers for every press the event that releases it, and releases everything held
// when an operation ends or control is cancelled.
//
// Any thread: the request thread, the signal thread and the human-input monitor enter it.
// Every public operation holds lock_ for its whole duration, waits included; the lock is
// recursive because the operations call each other (post calls check, cancel releases).
class InputSafety final : public ControlReadiness {
 public:
  InputSafety(platform::EventServices& events, SessionGate& session);
  InputSafety(const InputSafety&) = delete;
  InputSafety& operator=(const InputSafety&) = delete;

  // Request bracket, called by the request loop.
  void beginRequest(std::string_view operation);
  void endRequest();
  void noteMutationAttempt();
  void noteUncertainOutcome();
  [[nodiscard]] bool requestMayHaveDispatched();

  // Throws the stop reason once control has stopped, else the session gate's failure.
  void check();

  // Posts one event. A press comes with the event that releases it: the release is registered
  // and the watchdog told before the press is posted. With a key code the release replaces any
  // earlier one of that key; without, it joins the held buttons. Throws check()'s failures
  // (nothing posted or registered) and the watchdog's (release registered, press not posted).
  void post(const platform::Event& event, const std::optional<platform::Event>& release = {},
            std::optional<std::uint16_t> key = {});

  // Posts every registered release, then tells the watchdog that nothing is held. Never fails;
  // a watchdog that cannot be told stops control with "input_watchdog_lost".
  void release();

  // Stops control for good with the reason and releases everything held. A later call
  // replaces the reason.
  void cancel(std::string_view reason);

  // Whether synthetic input can be armed now. The human-input monitor does not exist on this
  // build yet, and control without it would let the assistant race the person at the machine,
  // so this stays false.
  [[nodiscard]] bool controlReady() override;

  // Stores a started release watchdog; from now on every press and release is announced to it.
  void adoptWatchdog(std::unique_ptr<WatchdogChannel> watchdog);

  [[nodiscard]] bool stopped();
  [[nodiscard]] std::string stopReason();
  [[nodiscard]] std::size_t heldCount();

 private:
  void releaseLocked() REQUIRES(lock_);
  void loseWatchdog() REQUIRES(lock_);
  void guardHeld(const std::vector<platform::Event>& held) REQUIRES(lock_);
  [[nodiscard]] std::vector<platform::Event> heldList() const REQUIRES(lock_);

  platform::EventServices& events_;
  SessionGate& session_;

  threads::RecursiveMutex lock_;
  // Everything below is guarded by lock_.
  DispatchEvidence dispatch_ GUARDED_BY(lock_);
  bool stopped_ GUARDED_BY(lock_) = false;
  std::string reason_ GUARDED_BY(lock_) = "cancelled";
  std::map<std::uint16_t, platform::Event> keys_ GUARDED_BY(lock_);
  std::vector<platform::Event> buttons_ GUARDED_BY(lock_);
  std::unique_ptr<WatchdogChannel> watchdog_ GUARDED_BY(lock_);
};

}  // namespace kex

// The one gate through which every synthetic input passes.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "main/safety/dispatch_evidence.h"
#include "main/safety/input_monitor.h"
#include "main/safety/watchdog_channel.h"
#include "main/session/control_readiness.h"
#include "main/session/session_state.h"
#include "platform/desktop.h"
#include "threads/mutex.h"

namespace kex {

// Starts a release watchdog and returns the channel to it; throws platform::PlatformError when it
// cannot be started.
using WatchdogLauncher = std::function<std::unique_ptr<WatchdogChannel>()>;

struct InputSafetyOptions {
  // How begin() starts the release watchdog. Without one, begin() fails with a platform error
  // and control is never armed.
  WatchdogLauncher launchWatchdog;
  // How long prepare() waits for the monitor thread to report its tap.
  std::chrono::milliseconds monitorStartLimit{2000};
};

// Keeps the per-request dispatch evidence, refuses all input once control has stopped, posts
// events, remembers for every press the event that releases it, and releases everything held
// when an operation ends or control is cancelled. Watches for human input through the
// human-input monitor, and keeps the release watchdog told of everything held.
//
// Life of control: idle (observation works; input operations may begin) -> armed by begin()
// (human input now stops control) -> stopped by any cancellation, for good. A stopped controller
// never recovers; every gate reports the reason of the latest cancellation.
//
// Any thread: the request thread, the signal thread and the monitor thread enter it. Every
// public operation holds lock_ for its whole duration, waits included (up to 1 s for the
// watchdog's answer, up to monitorStartLimit for the monitor thread); the lock is recursive
// because the operations call each other (post calls check, begin calls prepare, interrupt and
// prepare call cancel, cancel releases).
class InputSafety final : public ControlReadiness, private platform::InputTapListener {
 public:
  InputSafety(platform::Desktop& desktop, SessionGate& session, InputSafetyOptions options = {});
  // Stops the monitor thread. Every press must have been released by then: anything still held
  // is a path that forgot to release, and ends the process.
  ~InputSafety() override;
  InputSafety(const InputSafety&) = delete;
  InputSafety& operator=(const InputSafety&) = delete;

  // Request bracket, called by the request loop.
  void beginRequest(std::string_view operation);
  void endRequest();
  void noteMutationAttempt();
  void noteUncertainOutcome();
  [[nodiscard]] bool requestMayHaveDispatched();

  // The gate: throws the stop reason once control has stopped, else the session gate's failure
  // ("session_locked", "session_unavailable").
  void check();

  // Arms control before an input operation's first gate: prepare(), then, if no watchdog runs
  // yet, starts one and exchanges an empty held set with it; from then on human input stops
  // control. Throws prepare()'s failures, "controller_busy" (another controller of this user
  // holds the control lock), "input_watchdog_lost" (the child did not answer in time), or a
  // platform error when the child cannot be started; control is then not armed, and a later
  // begin() starts a new child.
  void begin();

  // Posts one event. A press comes with the event that releases it: the release is registered
  // and the watchdog told before the press is posted. With a key code the release replaces any
  // earlier one of that key, keeping the earlier one's modifier flags as well (their modifier
  // keys are still down); without, it joins the held buttons. Throws check()'s failures
  // (nothing posted or registered) and the watchdog's (release registered, press not posted;
  // the caller's release() then posts it). When the desktop posted none of the event, its
  // release is no longer registered and the dispatch evidence is as before the call: throws
  // "input_blocked" when the desktop cannot make that input, else its platform error. Any other
  // platform error of the post propagates with the release registered. A press without its
  // release ends the process.
  void post(const platform::Event& event, const std::optional<platform::Event>& release = {},
            std::optional<std::uint16_t> key = {});

  // Posts every registered release, then tells the watchdog that nothing is held. Never fails;
  // a watchdog that cannot be told stops control with "input_watchdog_lost". A release the
  // desktop did not take stays with the watchdog, which posts it when this process ends, and is
  // posted again by the next release().
  void release();

  // Stops control for good with the reason and releases everything held. A later call
  // replaces the reason.
  void cancel(std::string_view reason);

  // Starts the human-input monitor once, then checks its health. Throws check()'s failures;
  // "permission_required" while input may not be watched (control not stopped, a later call
  // tries again); "input_monitor_unavailable" when the monitor reported no tap in time, and
  // "input_monitor_lost" when its tap is no longer valid or enabled (both stop control).
  void prepare();

  // Whether synthetic input can be armed now: prepare() succeeded. Never fails.
  [[nodiscard]] bool controlReady() override;

  // Human input was seen: stops control with "human_interrupted" once armed, else nothing.
  void interrupt();

  // For tests and diagnostics.
  [[nodiscard]] bool stopped();
  [[nodiscard]] bool armed();
  [[nodiscard]] std::string stopReason();
  [[nodiscard]] std::size_t heldCount();

 private:
  // Monitor thread: what the tap sees.
  void inputObserved(const platform::ObservedInput& input) override;
  void tapDisabled() override;

  void registerKeyRelease(std::uint16_t key, platform::Event release) REQUIRES(lock_);
  // Undoes the registration of a press's release; replaced is the release of the same key it
  // took the place of.
  void forgetRelease(std::optional<std::uint16_t> key,
                     const std::optional<platform::Event>& replaced) REQUIRES(lock_);
  // False when the desktop may not have taken it.
  [[nodiscard]] bool postRelease(const platform::Event& release) REQUIRES(lock_);
  void startMonitor() REQUIRES(lock_);
  void startWatchdog() REQUIRES(lock_);
  void releaseLocked() REQUIRES(lock_);
  void loseWatchdog() REQUIRES(lock_);
  void guardHeld(const std::vector<platform::Event>& held) REQUIRES(lock_);
  [[nodiscard]] std::vector<platform::Event> heldList() const REQUIRES(lock_);

  platform::EventServices& events_;
  platform::SystemServices& system_;
  SessionGate& session_;
  const InputSafetyOptions options_;
  const std::int32_t ownProcessId_;

  threads::RecursiveMutex lock_;
  DispatchEvidence dispatch_ GUARDED_BY(lock_);
  bool stopped_ GUARDED_BY(lock_) = false;
  std::string reason_ GUARDED_BY(lock_) = "cancelled";
  std::map<std::uint16_t, platform::Event> keys_ GUARDED_BY(lock_);
  std::vector<platform::Event> buttons_ GUARDED_BY(lock_);
  // Releases whose posting failed: the watchdog keeps them, and every release() tries again.
  std::vector<platform::Event> unreleased_ GUARDED_BY(lock_);
  std::unique_ptr<InputMonitor> monitor_ GUARDED_BY(lock_);
  bool started_ GUARDED_BY(lock_) = false;
  std::unique_ptr<WatchdogChannel> watchdog_ GUARDED_BY(lock_);
  bool armed_ GUARDED_BY(lock_) = false;
};

}  // namespace kex

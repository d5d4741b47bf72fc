// The one error that reaches the wire, and the catalogue of its codes.
#pragma once

#include <string>
#include <string_view>

namespace kex {

// Failure codes. Each line says when the code is raised; the host branches on these texts.
namespace codes {
// The request line or an operation's own argument is malformed.
inline constexpr std::string_view invalidArguments = "invalid_arguments";
// An error that is not a Failure reached the request loop (mapping only, never thrown).
inline constexpr std::string_view nativeOperationFailed = "native_operation_failed";
// The request was cancelled, or control was stopped by a cancellation.
inline constexpr std::string_view cancelled = "cancelled";
// The operation name is not one the dispatcher knows.
inline constexpr std::string_view capabilityUnavailable = "capability_unavailable";
// "sessionId" or "topologyRevision" is missing or no longer current.
inline constexpr std::string_view topologyChanged = "topology_changed";
// The user's console session is on screen but locked.
inline constexpr std::string_view sessionLocked = "session_locked";
// No usable console session: none, another user's, or not on the console.
inline constexpr std::string_view sessionUnavailable = "session_unavailable";
// A system permission the operation needs is missing.
inline constexpr std::string_view permissionRequired = "permission_required";
// An identifier is unknown or too old, or what it names no longer matches.
inline constexpr std::string_view targetStale = "target_stale";
// The addressed window, element or display may not be captured or controlled.
inline constexpr std::string_view protectedTarget = "protected_target";
// The target window is no longer frontmost and focused, or keyboard focus moved.
inline constexpr std::string_view focusChanged = "focus_changed";
// Another window or element lies on top of the point to act on.
inline constexpr std::string_view targetOccluded = "target_occluded";
// The system refused an input step.
inline constexpr std::string_view inputBlocked = "input_blocked";
// The system cannot capture at all.
inline constexpr std::string_view backendUnsupported = "backend_unsupported";
// The capture would exceed its size limits.
inline constexpr std::string_view captureTooLarge = "capture_too_large";
// A window capture produced no usable picture.
inline constexpr std::string_view captureProtected = "capture_protected";
// Another controller of the same user holds the control lock.
inline constexpr std::string_view controllerBusy = "controller_busy";
// The release watchdog is gone, silent, or could not be told what is held.
inline constexpr std::string_view inputWatchdogLost = "input_watchdog_lost";
// The human-input monitor did not start.
inline constexpr std::string_view inputMonitorUnavailable = "input_monitor_unavailable";
// The human-input monitor that was running is no longer valid or enabled.
inline constexpr std::string_view inputMonitorLost = "input_monitor_lost";
// The person at the machine touched the keyboard or pointer while control was armed.
inline constexpr std::string_view humanInterrupted = "human_interrupted";
}  // namespace codes

// Thrown by operations and propagated unchanged to the request loop, which writes its code.
struct Failure {
  std::string code;

  explicit Failure(std::string_view c) : code(c) {}
};

// The task-cancellation error: the request was abandoned, so its outcome is unknown.
struct TaskCancelled {};

// True when the text is one of the catalogued codes.
[[nodiscard]] bool isCatalogued(std::string_view code);

}  // namespace kex

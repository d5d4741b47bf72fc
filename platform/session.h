// The console session and the facts about the system that the status report needs.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace kex::platform {

// Keys of a session description. The first two are the names the self-test reports.
inline constexpr char kSessionUserIdKey[] = "kCGSSessionUserIDKey";
inline constexpr char kSessionOnConsoleKey[] = "kCGSSessionOnConsoleKey";
inline constexpr char kSessionScreenIsLockedKey[] = "CGSSessionScreenIsLocked";

// A value in a session description keeps its type, so the classifier can refuse a user id
// stored as text or a lock flag stored as a number.
using SessionValue = std::variant<bool, std::int64_t, double, std::string>;
using SessionDescription = std::map<std::string, SessionValue>;

// The desktop session the helper runs in. Any thread.
class SessionServices {
 public:
  virtual ~SessionServices() = default;

  // The description of the console session at this moment, or nothing when none can be had.
  // Never cached by the caller: every call asks the desktop again.
  [[nodiscard]] virtual std::optional<SessionDescription> currentSession() = 0;

  // The real user id of this process.
  [[nodiscard]] virtual std::uint32_t realUserId() = 0;
};

// What a capture reads: a whole display, or one window's own pixels whatever covers them.
enum class CaptureKind { display, window };

// Permission queries and fixed facts about the backend. None of them prompts. Any thread.
class SystemServices {
 public:
  virtual ~SystemServices() = default;

  [[nodiscard]] virtual bool screenCaptureAccess() = 0;
  [[nodiscard]] virtual bool accessibilityTrusted() = 0;
  [[nodiscard]] virtual bool postEventAccess() = 0;
  [[nodiscard]] virtual bool listenEventAccess() = 0;

  // Whether the desktop offers at run time what a capture of this kind reads with.
  [[nodiscard]] virtual bool supportsCapture(CaptureKind kind) = 0;
  // Whether the desktop offers at run time what control posts input and watches for the
  // person's own input with.
  [[nodiscard]] virtual bool supportsControl() = 0;

  // The bundle identifiers of the system's protected surfaces: authentication prompts, lock
  // screens, greeters, system settings. A window whose application's bundle identifier, or
  // its last path component, is one of them is never controlled.
  [[nodiscard]] virtual std::vector<std::string> protectedBundleNames() = 0;

  // The "backend" of the status report and its three limitation texts, in order.
  [[nodiscard]] virtual std::string backendName() = 0;
  [[nodiscard]] virtual std::vector<std::string> limitations() = 0;
};

}  // namespace kex::platform

// Classification of the console session and the gate every operation passes.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/session.h"

namespace kex {

namespace session_states {
inline constexpr std::string_view active = "active";
inline constexpr std::string_view locked = "locked";
inline constexpr std::string_view inactive = "inactive";
inline constexpr std::string_view wrongUser = "wrong_user";
inline constexpr std::string_view unavailable = "unavailable";
}  // namespace session_states

// The state of a session description for the given real user id. Pure.
[[nodiscard]] std::string_view sessionState(
    const std::optional<platform::SessionDescription>& description, std::uint32_t userId);

// Reads the console session afresh at every call; nothing is cached, so a lock, a user switch
// or an unlock shows on the very next call. Any thread.
class SessionGate {
 public:
  explicit SessionGate(platform::SessionServices& services) : services_(services) {}

  [[nodiscard]] std::string_view state();
  [[nodiscard]] bool active();

  // Returns when the session is active; throws Failure "session_locked" when it is locked and
  // "session_unavailable" in every other state.
  void requireActive();

 private:
  platform::SessionServices& services_;
};

using SessionClassifier = std::function<std::string_view(
    const std::optional<platform::SessionDescription>&, std::uint32_t)>;

// Checks the classifier against five synthetic descriptions built around the user id. On
// success writes the result line to standard output; at the first wrong answer it ends the
// process abnormally with "Precondition failed" on standard error. Never reads the real
// session.
void runSessionSelfTest(const SessionClassifier& classify, std::uint32_t userId);

// The line the self-test prints when every check holds.
[[nodiscard]] std::string sessionSelfTestLine();

}  // namespace kex

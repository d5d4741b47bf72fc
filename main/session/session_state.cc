#include "main/session/session_state.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "main/common/failure.h"

namespace kex {
namespace {

using platform::SessionDescription;
using platform::SessionValue;

// A number's value as an unsigned 32-bit user id, or nothing when the value is not a number.
std::optional<std::uint32_t> userIdOf(const SessionValue& value) {
  if (const auto* integer = std::get_if<std::int64_t>(&value)) {
    return static_cast<std::uint32_t>(*integer);
  }
  if (const auto* real = std::get_if<double>(&value)) {
    if (!std::isfinite(*real)) return static_cast<std::uint32_t>(0);
    return static_cast<std::uint32_t>(static_cast<std::int64_t>(*real));
  }
  return std::nullopt;
}

bool isTrue(const SessionDescription& description, const char* key) {
  auto found = description.find(key);
  if (found == description.end()) return false;
  const auto* flag = std::get_if<bool>(&found->second);
  return flag != nullptr && *flag;
}

}  // namespace

std::string_view sessionState(const std::optional<SessionDescription>& description,
                              std::uint32_t userId) {
  if (!description) return session_states::unavailable;
  auto owner = description->find(platform::kSessionUserIdKey);
  if (owner == description->end()) return session_states::wrongUser;
  auto ownerId = userIdOf(owner->second);
  if (!ownerId || *ownerId != userId) return session_states::wrongUser;
  if (!isTrue(*description, platform::kSessionOnConsoleKey)) return session_states::inactive;
  if (isTrue(*description, platform::kSessionScreenIsLockedKey)) return session_states::locked;
  return session_states::active;
}

std::string_view SessionGate::state() {
  return sessionState(services_.currentSession(), services_.realUserId());
}

bool SessionGate::active() { return state() == session_states::active; }

void SessionGate::requireActive() {
  auto current = state();
  if (current == session_states::active) return;
  if (current == session_states::locked) throw Failure(codes::sessionLocked);
  throw Failure(codes::sessionUnavailable);
}

std::string sessionSelfTestLine() {
  return std::string("session regression passed; imported keys: ") + platform::kSessionUserIdKey +
         ", " + platform::kSessionOnConsoleKey + "\n";
}

namespace {

[[noreturn]] void preconditionFailed(int step) {
  std::fprintf(stderr, "Precondition failed: session classification step %d\n", step);
  std::fflush(stderr);
  std::abort();
}

}  // namespace

void runSessionSelfTest(const SessionClassifier& classify, std::uint32_t userId) {
  const SessionDescription base = {
      {platform::kSessionUserIdKey, static_cast<std::int64_t>(userId)},
      {platform::kSessionOnConsoleKey, true},
  };
  auto with = [&base](const char* key, SessionValue value) {
    SessionDescription derived = base;
    derived[key] = std::move(value);
    return derived;
  };
  struct Check {
    std::optional<SessionDescription> description;
    std::string_view expected;
  };
  const Check checks[] = {
      {base, session_states::active},
      {with(platform::kSessionScreenIsLockedKey, true), session_states::locked},
      {with(platform::kSessionOnConsoleKey, false), session_states::inactive},
      {with(platform::kSessionUserIdKey, static_cast<std::int64_t>(userId) + 1),
       session_states::wrongUser},
      {std::nullopt, session_states::unavailable},
  };
  int step = 1;
  for (const auto& check : checks) {
    if (classify(check.description, userId) != check.expected) preconditionFailed(step);
    ++step;
  }
  auto line = sessionSelfTestLine();
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

}  // namespace kex

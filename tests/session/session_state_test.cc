#include "main/session/session_state.h"

#include <gtest/gtest.h>

#include "main/common/failure.h"
#include "tests/desktop/memory_desktop.h"

namespace kex {
namespace {

using platform::SessionDescription;

constexpr std::uint32_t kUser = 501;

SessionDescription onConsole(platform::SessionValue user = std::int64_t{kUser}) {
  return {{platform::kSessionUserIdKey, std::move(user)}, {platform::kSessionOnConsoleKey, true}};
}

TEST(SessionState, ClassifiesTheUsersUnlockedConsoleSessionAsActive) {
  EXPECT_EQ(sessionState(onConsole(), kUser), "active");
}

TEST(SessionState, ChecksTheUserBeforeTheLockFlag) {
  auto description = onConsole(std::int64_t{kUser + 1});
  description[platform::kSessionScreenIsLockedKey] = true;
  EXPECT_EQ(sessionState(description, kUser), "wrong_user");
}

TEST(SessionState, RefusesAUserIdStoredAsTextOrMissing) {
  EXPECT_EQ(sessionState(onConsole(std::string("501")), kUser), "wrong_user");
  SessionDescription noUser = {{platform::kSessionOnConsoleKey, true}};
  EXPECT_EQ(sessionState(noUser, kUser), "wrong_user");
}

TEST(SessionState, ReadsAUserIdStoredAsARealNumber) {
  EXPECT_EQ(sessionState(onConsole(501.0), kUser), "active");
}

TEST(SessionState, NeedsTheOnConsoleFlagToBeTheBooleanTrue) {
  SessionDescription missing = {{platform::kSessionUserIdKey, std::int64_t{kUser}}};
  EXPECT_EQ(sessionState(missing, kUser), "inactive");
  auto number = onConsole();
  number[platform::kSessionOnConsoleKey] = std::int64_t{1};
  EXPECT_EQ(sessionState(number, kUser), "inactive");
}

TEST(SessionState, ReadsOnlyTheBooleanTrueAsLocked) {
  auto description = onConsole();
  description[platform::kSessionScreenIsLockedKey] = false;
  EXPECT_EQ(sessionState(description, kUser), "active");
  description[platform::kSessionScreenIsLockedKey] = std::int64_t{1};
  EXPECT_EQ(sessionState(description, kUser), "active");
  description[platform::kSessionScreenIsLockedKey] = true;
  EXPECT_EQ(sessionState(description, kUser), "locked");
}

TEST(SessionState, NoDescriptionIsUnavailable) {
  EXPECT_EQ(sessionState(std::nullopt, kUser), "unavailable");
}

TEST(SessionGate, RefusesWithTheCodeOfEachStateAndReadsAfreshEachTime) {
  testing::MemoryDesktop desktop;
  SessionGate gate(desktop.session());
  EXPECT_NO_THROW(gate.requireActive());

  desktop.lockScreen();
  try {
    gate.requireActive();
    FAIL() << "a locked session passed the gate";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.code, "session_locked");
  }

  desktop.unlockScreen();
  EXPECT_TRUE(gate.active());

  desktop.setFailing(testing::Op::currentSession);
  EXPECT_EQ(gate.state(), "unavailable");
  try {
    gate.requireActive();
    FAIL() << "an unavailable session passed the gate";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.code, "session_unavailable");
  }
}

TEST(SessionSelfTest, PrintsExactlyTheResultLineWithACorrectClassifier) {
  ::testing::internal::CaptureStdout();
  runSessionSelfTest(&sessionState, kUser);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "session regression passed; imported keys: kCGSSessionUserIDKey, "
            "kCGSSessionOnConsoleKey\n");
}

TEST(SessionSelfTestDeathTest, StopsAtTheLockStepWhenTheClassifierIgnoresTheLockFlag) {
  auto ignoresLock = [](const std::optional<SessionDescription>& description,
                        std::uint32_t user) -> std::string_view {
    auto state = sessionState(description, user);
    return state == "locked" ? "active" : state;
  };
  EXPECT_DEATH(runSessionSelfTest(ignoresLock, kUser), "Precondition failed.*step 2");
}

}  // namespace
}  // namespace kex

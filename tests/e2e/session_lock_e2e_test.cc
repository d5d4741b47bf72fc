// The session gate: nothing but status is served while a screen locker holds the screen.
#include "tests/e2e/e2e_fixture.h"

namespace kex::e2e {
namespace {

using SessionLockE2E = E2ETest;

TEST_F(SessionLockE2E, RefusesOperationsAsSessionLockedWhileScreenIsLocked) {
  const json fresh = statusResult();
  ScreenLock lock(desktop());
  const json response = helper().request(
      kUnknownOperation,
      {{"sessionId", fresh["sessionId"]}, {"topologyRevision", fresh["topologyRevision"]}});
  expectFailure(response, "session_locked", helper().lastRequestId());
}

TEST_F(SessionLockE2E, ChecksTheLockBeforeFreshness) {
  ScreenLock lock(desktop());
  const json response = helper().request(kUnknownOperation, json::object());
  expectFailure(response, "session_locked", helper().lastRequestId());
}

TEST_F(SessionLockE2E, StatusReportsLockedWhileScreenIsLocked) {
  ScreenLock lock(desktop());
  EXPECT_EQ(statusResult().value("sessionState", ""), "locked");
}

TEST_F(SessionLockE2E, IsActiveAgainOnceTheLockIsRemoved) {
  ScreenLock lock(desktop());
  ASSERT_EQ(statusResult().value("sessionState", ""), "locked");
  lock.release();

  EXPECT_EQ(statusResult().value("sessionState", ""), "active");
  const json response = requestFresh(kUnknownOperation);
  expectFailure(response, "capability_unavailable", helper().lastRequestId());
}

}  // namespace
}  // namespace kex::e2e

// The accessibility permission while the accessibility bus launcher is slow to answer, gone, or
// replaced: a launcher that has answered is taken at its word until its name changes owner.
#include <signal.h>

#include <string>

#include "tests/e2e/e2e_fixture.h"

namespace kex::e2e {
namespace {

constexpr auto kSettleDeadline = std::chrono::seconds(15);

// Sends SIGCONT to the process when the test ends, however it ends.
class Resume {
 public:
  explicit Resume(harness::ChildProcess& process) : process_(process) {}
  ~Resume() { (void)process_.signal(SIGCONT); }
  Resume(const Resume&) = delete;
  Resume& operator=(const Resume&) = delete;

 private:
  harness::ChildProcess& process_;
};

class AccessibilityPermissionE2E : public E2ETest {
 protected:
  [[nodiscard]] bool accessibilityPermission() {
    return statusResult()["permissions"].value("accessibility", false);
  }

  // Whether the tree of the first listed window was read, by the deadline.
  [[nodiscard]] bool treeRead() {
    const auto deadline = harness::deadlineIn(kSettleDeadline);
    while (!harness::hasPassed(deadline)) {
      const json windows = requestFresh("computer.windows");
      if (!windows.value("ok", false) || windows["result"]["windows"].empty()) continue;
      const json tree = requestFresh("computer.accessibility",
                                     {{"targetId", windows["result"]["windows"][0]["targetId"]}});
      if (tree.value("ok", false)) return true;
    }
    return false;
  }

  // Waits until status reports the permission as wanted; false at the deadline.
  [[nodiscard]] bool permissionBecomes(bool wanted) {
    const auto deadline = harness::deadlineIn(kSettleDeadline);
    while (!harness::hasPassed(deadline)) {
      if (accessibilityPermission() == wanted) return true;
    }
    return false;
  }
};

TEST_F(AccessibilityPermissionE2E, KeepsThePermissionWhileALauncherThatAnsweredIsStopped) {
  const auto app = desktop().startApp({"--title", "Launcher stopped"});
  ASSERT_TRUE(treeRead()) << "before the launcher stopped";
  harness::ChildProcess* launcher = desktop().accessibilityBusLauncher();
  ASSERT_NE(launcher, nullptr);
  Resume resume(*launcher);
  ASSERT_TRUE(launcher->signal(SIGSTOP));
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(accessibilityPermission()) << "request " << i;
  // The accessibility bus itself keeps running, and trees are read through it.
  EXPECT_TRUE(treeRead()) << "while the launcher is stopped";
}

TEST_F(AccessibilityPermissionE2E, FollowsTheLauncherAwayAndBack) {
  ASSERT_TRUE(accessibilityPermission());
  desktop().restartAccessibilityBus();
  // The bus tells of the new owner as it tells of the old one's leaving, a moment after.
  EXPECT_TRUE(permissionBecomes(true));
  const pid_t launcher = desktop().accessibilityBusLauncher()->pid();
  ASSERT_TRUE(desktop().accessibilityBusLauncher()->terminate().exitStatus.has_value());
  EXPECT_TRUE(permissionBecomes(false)) << "launcher " << launcher << " is gone";
  desktop().restartAccessibilityBus();
  EXPECT_TRUE(permissionBecomes(true));
}

}  // namespace
}  // namespace kex::e2e

// Control on a real X server: arming through the monitor and the watchdog, human input stopping
// control for good, a killed controller's held input released by its watchdog, one controller of
// a user at a time. The controller is kex-control-probe (kex-computer's input safety on the X11
// backend); its watchdog is kex-computer itself.
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "tests/e2e/control_probe.h"
#include "tests/e2e/e2e_fixture.h"

namespace kex::e2e {
namespace {

using harness::deadlineIn;

constexpr auto kAnswerDeadline = std::chrono::seconds(10);
constexpr int kKeyA = 38;    // keycode of 'a' (virtual key 0) on Xvfb's keymap
constexpr int kShiftL = 50;  // keycode of Shift_L
constexpr long kShiftFlag = 0x20000;

class ControlE2E : public DesktopTest {
 protected:
  void TearDown() override {
    // Whatever a test pressed on purpose (through xdotool) is let go for the next one.
    (void)desktop().runTool({"xdotool", "keyup", "a", "keyup", "Shift_L", "mouseup", "1"});
  }

  [[nodiscard]] std::string lockPath() const {
    return desktop().runtimeDir() + "/kex-computer-control-" + std::to_string(::getuid()) + ".lock";
  }

  // Runs xdotool as another client of the display; it must succeed.
  void xdotool(const std::vector<std::string>& args) {
    std::vector<std::string> argv{"xdotool"};
    argv.insert(argv.end(), args.begin(), args.end());
    ASSERT_EQ(desktop().runTool(argv).exitStatus, std::optional<int>(0));
  }

  // Waits until the probe's monitor has heard of more human input than `before`.
  static bool waitForHumanInput(ControlProbe& probe, long before) {
    const auto deadline = deadlineIn(kAnswerDeadline);
    while (probe.observed().second <= before) {
      if (harness::hasPassed(deadline)) return false;
      ::usleep(1000);
    }
    return true;
  }
};

TEST_F(ControlE2E, ArmsThroughTheMonitorAndAWatchdogChildThatHoldsTheLock) {
  ControlProbe probe(desktop());
  EXPECT_EQ(probe.command("ready"), "true");
  EXPECT_EQ(probe.command("state"), "unarmed running cancelled");
  EXPECT_EQ(probe.watchdogPid(), -1) << "readiness alone starts no watchdog";

  ASSERT_EQ(probe.command("begin"), "ok");
  EXPECT_EQ(probe.command("state"), "armed running cancelled");
  const pid_t watchdog = probe.watchdogPid();
  ASSERT_GT(watchdog, 0);
  std::ifstream cmdline("/proc/" + std::to_string(watchdog) + "/cmdline");
  std::string arguments((std::istreambuf_iterator<char>(cmdline)), {});
  EXPECT_NE(arguments.find(std::string("--release-watchdog") + '\0'), std::string::npos);
  struct stat status {};
  ASSERT_EQ(::stat(lockPath().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0600u);

  EXPECT_EQ(probe.finish(), std::optional<int>(0));
}

TEST_F(ControlE2E, AnotherClientsInputBeforeArmingChangesNothing) {
  ControlProbe probe(desktop());
  ASSERT_EQ(probe.command("ready"), "true");
  const long before = probe.observed().second;
  xdotool({"mousemove", "321", "123", "key", "b"});
  ASSERT_TRUE(waitForHumanInput(probe, before));
  EXPECT_EQ(probe.command("check"), "ok");
  EXPECT_EQ(probe.command("ready"), "true");
  EXPECT_EQ(probe.command("begin"), "ok");
  EXPECT_EQ(probe.finish(), std::optional<int>(0));
}

TEST_F(ControlE2E, AnotherClientsInputAfterArmingStopsControlAndReleasesWhatIsHeld) {
  ControlProbe probe(desktop());
  ASSERT_EQ(probe.command("begin"), "ok");
  ASSERT_EQ(probe.command("button-down 40 50"), "ok");
  ASSERT_EQ(heldInput(desktop()), std::vector<std::string>{"button 1"});

  xdotool({"mousemove", "300", "200"});
  const auto deadline = deadlineIn(kAnswerDeadline);
  std::string answer;
  while ((answer = probe.command("check")) == "ok" && !harness::hasPassed(deadline)) {
    ::usleep(1000);
  }
  EXPECT_EQ(answer, "error human_interrupted");
  EXPECT_TRUE(heldInput(desktop()).empty()) << "released by the interruption itself";
  EXPECT_EQ(probe.command("ready"), "false");
  EXPECT_EQ(probe.command("key-down 0 0"), "error human_interrupted");
  EXPECT_EQ(probe.command("begin"), "error human_interrupted");
  EXPECT_EQ(probe.command("state"), "armed stopped human_interrupted");
  EXPECT_EQ(probe.finish(), std::optional<int>(0));
}

TEST_F(ControlE2E, ItsOwnPostsNeverInterrupt) {
  ControlProbe probe(desktop());
  ASSERT_EQ(probe.command("begin"), "ok");
  ASSERT_EQ(probe.command("move 10 20"), "ok");                                // 1 motion
  ASSERT_EQ(probe.command("button-down 30 40"), "ok");                         // motion, press
  ASSERT_EQ(probe.command("key-down 0 " + std::to_string(kShiftFlag)), "ok");  // Shift_L, a
  EXPECT_EQ(heldInput(desktop()),
            (std::vector<std::string>{"key " + std::to_string(kKeyA),
                                      "key " + std::to_string(kShiftL), "button 1"}));
  // a, Shift_L, release: the pointer is already where the button comes up, so it does not move.
  ASSERT_EQ(probe.command("release"), "ok");
  EXPECT_TRUE(heldInput(desktop()).empty());

  constexpr long kOwnEvents = 8;
  const auto deadline = deadlineIn(kAnswerDeadline);
  while (probe.observed().first < kOwnEvents && !harness::hasPassed(deadline)) ::usleep(1000);
  EXPECT_EQ(probe.observed(), std::make_pair(kOwnEvents, 0L));
  EXPECT_EQ(probe.command("check"), "ok");
  EXPECT_EQ(probe.command("ready"), "true");
  EXPECT_EQ(probe.finish(), std::optional<int>(0));
}

TEST_F(ControlE2E, AKilledControllersKeyAndButtonAreReleasedWithinASecond) {
  // The watchdog is orphaned when its parent dies; this process adopts it to learn how it ends.
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  ControlProbe probe(desktop());
  ASSERT_EQ(probe.command("begin"), "ok");
  const pid_t watchdog = probe.watchdogPid();
  ASSERT_EQ(probe.command("key-down 0 " + std::to_string(kShiftFlag)), "ok");
  ASSERT_EQ(probe.command("button-down 50 60"), "ok");
  ASSERT_EQ(heldInput(desktop()).size(), 3u);

  ASSERT_TRUE(probe.process().signal(SIGKILL));
  const auto released = deadlineIn(std::chrono::seconds(1));
  EXPECT_TRUE(waitUntilNothingHeld(desktop(), released))
      << ::testing::PrintToString(heldInput(desktop()));
  EXPECT_EQ(probe.process().waitExit(deadlineIn(kAnswerDeadline)), std::optional<int>(128 + 9));

  ASSERT_TRUE(waitForProcessEnd(watchdog, deadlineIn(kAnswerDeadline)));
  int status = -1;
  ASSERT_EQ(::waitpid(watchdog, &status, 0), watchdog);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(xinputDown(desktop()).empty()) << ::testing::PrintToString(xinputDown(desktop()));
}

TEST_F(ControlE2E, ASecondControllerOfTheUserIsBusyUntilTheFirstHasEnded) {
  ControlProbe first(desktop());
  ASSERT_EQ(first.command("begin"), "ok");
  ControlProbe second(desktop());
  EXPECT_EQ(second.command("ready"), "true");
  EXPECT_EQ(second.command("begin"), "error controller_busy");
  EXPECT_EQ(second.command("state"), "unarmed running cancelled");
  EXPECT_EQ(second.command("key-down 0 0"), "error input_watchdog_lost");
  EXPECT_EQ(second.command("release"), "ok");

  EXPECT_EQ(first.finish(), std::optional<int>(0));
  EXPECT_EQ(second.command("begin"), "ok");
  EXPECT_EQ(second.finish(), std::optional<int>(0));
}

TEST_F(ControlE2E, ALockFileThatIsNotSoundMakesEveryBeginBusy) {
  const std::string path = lockPath();
  const std::string elsewhere = desktop().runtimeDir() + "/elsewhere.lock";
  ::unlink(path.c_str());
  ::close(::open(elsewhere.c_str(), O_CREAT | O_WRONLY, 0600));

  struct Variant {
    const char* what;
    std::function<void()> make;
  };
  const std::vector<Variant> variants{
      {"mode 0644",
       [&] {
         ::close(::open(path.c_str(), O_CREAT | O_WRONLY, 0600));
         ::chmod(path.c_str(), 0644);
       }},
      {"a symbolic link", [&] { ASSERT_EQ(::symlink(elsewhere.c_str(), path.c_str()), 0); }},
      {"a second hard link", [&] { ASSERT_EQ(::link(elsewhere.c_str(), path.c_str()), 0); }},
  };
  for (const Variant& variant : variants) {
    variant.make();
    ControlProbe probe(desktop());
    EXPECT_EQ(probe.command("begin"), "error controller_busy") << variant.what;
    EXPECT_EQ(probe.command("begin"), "error controller_busy") << variant.what;
    EXPECT_EQ(probe.finish(), std::optional<int>(0));
    ::unlink(path.c_str());
  }
  ControlProbe probe(desktop());
  EXPECT_EQ(probe.command("begin"), "ok");
  EXPECT_EQ(probe.finish(), std::optional<int>(0));
}

using ControlStatusE2E = E2ETest;

TEST_F(ControlStatusE2E, ReportsControlReadyOffersControlAndOnlyOperationsThisBuildRuns) {
  const json result = statusResult();
  EXPECT_EQ(result.value("controlReady", false), true) << result.dump();
  EXPECT_EQ(result["permissions"].value("input", false), true) << result.dump();
  const auto& operations = result["operations"];
  for (const char* control : {"computer.focus", "computer.pointer", "computer.keyboard"}) {
    EXPECT_NE(std::find(operations.begin(), operations.end(), control), operations.end())
        << control << " not offered: " << result.dump();
  }
  for (const auto& operation : result["operations"]) {
    const json response = requestFresh(operation.get<std::string>());
    EXPECT_NE(response.value("error", ""), "capability_unavailable") << operation;
  }
}

}  // namespace
}  // namespace kex::e2e

// kex-computer's own input under its safety controller. A drag holds the left button from its
// press to its release: when the person at the machine touches the pointer meanwhile, or
// kex-computer is killed, the button still comes up, released by the controller or by the release
// watchdog that outlives it; after the person's input control stays stopped and status says so.
// Only one kex-computer of a user controls at a time.
#include <signal.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/e2e/control_probe.h"
#include "tests/e2e/input_fixture.h"

namespace kex::e2e {
namespace {

using harness::deadlineIn;

constexpr auto kReleaseDeadline = std::chrono::seconds(10);
constexpr auto kWatchdogRelease = std::chrono::seconds(1);

const std::vector<std::string> kControlOperations{"computer.focus", "computer.pointer",
                                                  "computer.keyboard"};

std::vector<std::string> offeredOf(const json& status, const std::vector<std::string>& wanted) {
  std::vector<std::string> offered;
  for (const auto& operation : status.value("operations", json::array())) {
    const auto name = operation.get<std::string>();
    if (std::find(wanted.begin(), wanted.end(), name) != wanted.end()) offered.push_back(name);
  }
  return offered;
}

class DragSafetyE2E : public InputE2E {
 protected:
  // A window whose application stalls for a while after each press: a drag's next hit test
  // waits on it, so the test can act while the button is down.
  std::unique_ptr<harness::TestApp> startStallingApp(const std::string& title) {
    return startFocusedApp({"--title", title, "--bare", "--undecorated", "--position", "100,100",
                            "--size", "400x300", "--stall-on-press", "2000"});
  }

  static std::string dragLine(harness::Helper& computer, const std::string& captureId) {
    json args = computer.freshnessArgs();
    args["captureId"] = captureId;
    args["action"] = "drag";
    args["x"] = 50;
    args["y"] = 60;
    args["deltaX"] = 200;
    return harness::Helper::envelope("drag", "computer.pointer", args);
  }
};

TEST_F(DragSafetyE2E, HumanInputDuringADragEndsItWithTheButtonUpAndControlStaysStopped) {
  auto app = startStallingApp("Human drag");
  const auto observed = observe("Human drag");
  ASSERT_TRUE(observed);
  ASSERT_EQ(offeredOf(statusResult(), kControlOperations), kControlOperations);
  ASSERT_TRUE(helper().sendLine(dragLine(helper(), observed->captureId)));
  ASSERT_EQ(nextLineOf(*app, "button "), "button 1 50 60");
  EXPECT_EQ(heldInput(desktop()), std::vector<std::string>{"button 1"});

  ASSERT_EQ(xdotool({"mousemove_relative", "--", "3", "0"}).exitStatus, 0);
  EXPECT_TRUE(waitUntilNothingHeld(desktop(), deadlineIn(kReleaseDeadline)));
  const json response = helper().readResponse();
  EXPECT_EQ(response.value("error", ""), "human_interrupted") << response.dump();
  EXPECT_EQ(response.value("dispatched", false), true) << response.dump();
  EXPECT_EQ(nextLineOf(*app, "release "), "release 1 250 60");
  // Control stays stopped: the next input is refused before anything is posted, and status no
  // longer offers control.
  const json next = pointer(*observed, "click", 10, 10);
  EXPECT_EQ(next.value("error", ""), "human_interrupted") << next.dump();
  EXPECT_TRUE(heldInput(desktop()).empty());
  const json status = statusResult();
  EXPECT_EQ(status.value("controlReady", true), false) << status.dump();
  EXPECT_TRUE(offeredOf(status, kControlOperations).empty()) << status.dump();
}

TEST_F(DragSafetyE2E, AKilledControllersButtonIsReleasedWithinASecondByItsWatchdog) {
  auto app = startStallingApp("Killed drag");
  auto computer = startHelper(desktop().newLogPath("killed-kex-computer"));
  const auto observed = observe(*computer, "Killed drag");
  ASSERT_TRUE(observed);
  // A move arms control and starts the watchdog without a press the application would stall on.
  ASSERT_EQ(pointer(*computer, *observed, "move", 5, 5).value("ok", false), true);
  const pid_t watchdog = releaseWatchdogOf(computer->process().pid());
  ASSERT_GT(watchdog, 0);
  ASSERT_TRUE(computer->sendLine(dragLine(*computer, observed->captureId)));
  ASSERT_EQ(nextLineOf(*app, "button "), "button 1 50 60");
  // Killed at once: the drag's next hit test gives up on the stalled application after a while,
  // and would then let go of the button itself.
  ASSERT_EQ(heldInput(desktop()), std::vector<std::string>{"button 1"});

  // The watchdog is orphaned by the kill; this process, the harness's subreaper, adopts it and
  // learns how it ends.
  ASSERT_TRUE(computer->process().signal(SIGKILL));
  EXPECT_TRUE(waitUntilNothingHeld(desktop(), deadlineIn(kWatchdogRelease)))
      << ::testing::PrintToString(heldInput(desktop()));
  EXPECT_TRUE(xinputDown(desktop()).empty()) << ::testing::PrintToString(xinputDown(desktop()));
  EXPECT_EQ(computer->waitExit(deadlineIn(kReleaseDeadline)), 128 + SIGKILL);
  EXPECT_EQ(waitForAdoptedExit(watchdog, deadlineIn(kReleaseDeadline)), std::optional<int>(0));
  // The watchdog let go where the drag was to end (the application reports it once its stall
  // is over).
  EXPECT_EQ(nextLineOf(*app, "release "), "release 1 250 60");
}

TEST_F(DragSafetyE2E, ASecondKexComputerIsBusyUntilTheFirstHasEnded) {
  auto app = startFocusedApp({"--title", "Two controllers", "--bare", "--undecorated", "--position",
                              "100,100", "--size", "400x300"});
  const auto first = observe("Two controllers");
  ASSERT_TRUE(first);
  ASSERT_EQ(pointer(*first, "click", 10, 20).value("ok", false), true);
  ASSERT_EQ(nextLineOf(*app, "button "), "button 1 10 20");
  const pid_t firstWatchdog = releaseWatchdogOf(helper().process().pid());
  ASSERT_GT(firstWatchdog, 0);

  const std::string secondErrors = desktop().newLogPath("second-kex-computer");
  auto second = startHelper(secondErrors);
  const auto observed = observe(*second, "Two controllers");
  ASSERT_TRUE(observed);
  expectRefusedUndispatched(pointer(*second, *observed, "click", 30, 40), "controller_busy");

  // The first ends as a host ends it; its watchdog goes with it and gives up the lock.
  ASSERT_EQ(finishHelper(), std::optional<int>(0));
  ASSERT_TRUE(waitForProcessEnd(firstWatchdog, deadlineIn(kReleaseDeadline)));
  const json allowed = pointer(*second, *observed, "click", 50, 60);
  EXPECT_EQ(allowed.value("ok", false), true) << allowed.dump();
  // The refused click never reached the application: the next press it saw is the allowed one.
  EXPECT_EQ(nextLineOf(*app, "button "), "button 1 50 60");
  second->closeInput();
  EXPECT_EQ(second->waitExit(deadlineIn(kReleaseDeadline)), std::optional<int>(0));
  EXPECT_EQ(readFile(secondErrors), "");
}

}  // namespace
}  // namespace kex::e2e

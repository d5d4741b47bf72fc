// A drag holds the left button from its press to its release. When the person at the machine
// touches the pointer meanwhile, or kex-computer is killed, the button still comes up: released
// by the controller, or by the release watchdog that outlives it.
#include <signal.h>

#include <string>
#include <vector>

#include "tests/e2e/control_probe.h"
#include "tests/e2e/input_fixture.h"

namespace kex::e2e {
namespace {

constexpr auto kReleaseDeadline = std::chrono::seconds(10);

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

TEST_F(DragSafetyE2E, HumanInputDuringADragEndsItWithTheButtonUp) {
  auto app = startStallingApp("Human drag");
  const auto observed = observe("Human drag");
  ASSERT_TRUE(observed);
  ASSERT_TRUE(helper().sendLine(dragLine(helper(), observed->captureId)));
  ASSERT_EQ(nextLineOf(*app, "button "), "button 1 50 60");
  EXPECT_EQ(heldInput(desktop()), std::vector<std::string>{"button 1"});

  ASSERT_EQ(xdotool({"mousemove_relative", "--", "3", "0"}).exitStatus, 0);
  EXPECT_TRUE(waitUntilNothingHeld(desktop(), harness::deadlineIn(kReleaseDeadline)));
  const json response = helper().readResponse();
  EXPECT_EQ(response.value("error", ""), "human_interrupted") << response.dump();
  EXPECT_EQ(response.value("dispatched", false), true) << response.dump();
  EXPECT_EQ(nextLineOf(*app, "release "), "release 1 250 60");
  // Control stays stopped: the next input is refused before anything is posted.
  const json next = pointer(*observed, "click", 10, 10);
  EXPECT_EQ(next.value("error", ""), "human_interrupted") << next.dump();
  EXPECT_TRUE(heldInput(desktop()).empty());
}

TEST_F(DragSafetyE2E, AKilledControllerLeavesTheButtonToItsWatchdog) {
  auto app = startStallingApp("Killed drag");
  auto computer = startHelper(desktop().newLogPath("killed-kex-computer"));
  std::string captureId;
  const auto deadline = harness::deadlineIn(std::chrono::seconds(15));
  while (captureId.empty() && !harness::hasPassed(deadline)) {
    const json listing = computer->request("computer.windows", computer->freshnessArgs());
    if (!listing.value("ok", false)) continue;
    for (const auto& window : listing["result"]["windows"]) {
      if (window.value("title", "") != "Killed drag") continue;
      json args = computer->freshnessArgs();
      args["targetId"] = window["targetId"];
      const json capture = computer->request("computer.capture", args);
      if (capture.value("ok", false)) captureId = capture["result"]["captureId"];
    }
  }
  ASSERT_FALSE(captureId.empty());
  ASSERT_TRUE(computer->sendLine(dragLine(*computer, captureId)));
  ASSERT_EQ(nextLineOf(*app, "button "), "button 1 50 60");
  EXPECT_EQ(heldInput(desktop()), std::vector<std::string>{"button 1"});

  ASSERT_TRUE(computer->process().signal(SIGKILL));
  EXPECT_EQ(computer->waitExit(harness::deadlineIn(kReleaseDeadline)), 128 + SIGKILL);
  EXPECT_TRUE(waitUntilNothingHeld(desktop(), harness::deadlineIn(kReleaseDeadline)));
  // The watchdog let go where the drag was to end.
  EXPECT_EQ(nextLineOf(*app, "release "), "release 1 250 60");
}

}  // namespace
}  // namespace kex::e2e

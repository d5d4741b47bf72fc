// computer.focus and computer.action on a private desktop: a covered window comes to the front
// and is proved focused; a button pressed through its node is clicked once, and a tree read
// right after shows it.
#include <string>

#include "tests/e2e/input_fixture.h"

namespace kex::e2e {
namespace {

using FocusActionE2E = InputE2E;

TEST_F(FocusActionE2E, FocusBringsACoveredWindowToTheFront) {
  auto app = startFocusedApp({"--title", "Covered", "--bare", "--undecorated", "--position",
                              "100,100", "--size", "300x200"});
  auto cover = startFocusedApp(
      {"--title", "Cover", "--bare", "--undecorated", "--position", "80,80", "--size", "400x300"});
  ASSERT_TRUE(app->waitForLine("focus-out", harness::deadlineIn(kAppEventDeadline)));
  const std::string target = listedTarget("Covered");
  ASSERT_FALSE(target.empty());
  const json response = requestFresh("computer.focus", {{"targetId", target}});
  ASSERT_EQ(response.value("ok", false), true) << response.dump();
  EXPECT_EQ(response["result"], (json{{"verified", true}}));
  EXPECT_TRUE(app->waitForLine("focus-in", harness::deadlineIn(kAppEventDeadline)));
  // It is in front now: a point the cover held is the window's.
  const auto observed = observe("Covered");
  ASSERT_TRUE(observed);
  ASSERT_EQ(pointer(*observed, "click", 150, 100).value("ok", false), true);
  EXPECT_EQ(nextLineOf(*app, "button "), "button 1 150 100");
}

TEST_F(FocusActionE2E, PressClicksTheButtonOnceAndATreeReadRightAfterShowsIt) {
  auto app = startFocusedApp({"--title", "Pressing", "--count-clicks"});
  const auto observed = observe("Pressing");
  ASSERT_TRUE(observed);
  const std::string ok = nodeTitled(observed->targetId, "OK");
  ASSERT_FALSE(ok.empty());
  const json response = action(*observed, ok, "press");
  ASSERT_EQ(response.value("ok", false), true) << response.dump();
  EXPECT_EQ(response["result"], (json{{"verified", false}}));
  json tree;
  EXPECT_FALSE(nodeTitled(observed->targetId, "OK 1", &tree).empty()) << tree.dump();
  EXPECT_EQ(nextLineOf(*app, "clicked "), "clicked OK");
  // Exactly once: the next click the application reports is another button's.
  const std::string cancel = nodeTitled(observed->targetId, "Cancel");
  ASSERT_EQ(action(*observed, cancel, "press").value("ok", false), true);
  EXPECT_EQ(nextLineOf(*app, "clicked "), "clicked Cancel");
}

TEST_F(FocusActionE2E, RefusesAnActionOnAWindowThatIsNotInFront) {
  auto app = startFocusedApp({"--title", "Behind", "--position", "100,100"});
  const auto observed = observe("Behind");
  ASSERT_TRUE(observed);
  const std::string ok = nodeTitled(observed->targetId, "OK");
  auto other = startFocusedApp({"--title", "Ahead", "--bare", "--position", "700,100"});
  ASSERT_TRUE(app->waitForLine("focus-out", harness::deadlineIn(kAppEventDeadline)));
  expectRefusedUndispatched(action(*observed, ok, "press"), "focus_changed");
  for (const auto& line : app->lines()) EXPECT_FALSE(line.starts_with("clicked ")) << line;
}

}  // namespace
}  // namespace kex::e2e

// The click, the typing and the press through a node against the Qt test application, whose
// accessible window is its client area without the decorations that its listed frame and its
// captures include.
#include <string>

#include "tests/e2e/input_fixture.h"

namespace kex::e2e {
namespace {

using QtInputE2E = InputE2E;

TEST_F(QtInputE2E, AClickLandsWhereTheTransformPutsIt) {
  auto app = startFocusedApp({"--title", "Qt clicks", "--bare", "--size", "300x200"},
                             KEX_QT_TEST_APP_PATH);
  const auto observed = observe("Qt clicks");
  ASSERT_TRUE(observed);
  const auto origin = desktop().root().windowOrigin(app->xid());
  ASSERT_TRUE(origin);
  for (const auto& [x, y] : std::vector<std::pair<long, long>>{{150, 120}, {40, 60}}) {
    const json response = pointer(*observed, "click", x, y);
    ASSERT_EQ(response.value("ok", false), true) << response.dump();
    const auto [wx, wy] = windowPointOf(*observed, x, y, *origin);
    EXPECT_EQ(nextLineOf(*app, "button "),
              "button 1 " + std::to_string(wx) + " " + std::to_string(wy));
  }
}

// Qt's accessible window is the client area alone; the title bar is the window's all the same.
TEST_F(QtInputE2E, AClickOnTheWindowsOwnTitleBarIsAcceptedAndTheWindowStays) {
  auto app = startFocusedApp(
      {"--title", "Qt title bar", "--bare", "--position", "100,100", "--size", "300x200"},
      KEX_QT_TEST_APP_PATH);
  expectTitleBarClickAccepted(*app, "Qt title bar");
}

TEST_F(QtInputE2E, TypesTextTheKeymapLacksIntactAndInOrder) {
  auto app = startFocusedApp({"--title", "Qt typing"}, KEX_QT_TEST_APP_PATH);
  const auto observed = observe("Qt typing");
  ASSERT_TRUE(observed);
  const std::string before = keymap();
  const std::string text = "h\u00e9llo w\u00f6rld \u2014 \u2713 \U0001F600";
  const json response = keyboard(*observed, {{"text", text}});
  ASSERT_EQ(response.value("ok", false), true) << response.dump();
  // Qt reports the entry's text as it changes; the last report holds all of it.
  std::optional<std::string> line;
  while ((line = nextLineOf(*app, "text ")) && *line != "text " + text) {
    EXPECT_EQ(text.rfind(line->substr(5), 0), 0u) << "not a beginning of the text: " << *line;
  }
  EXPECT_EQ(line, "text " + text);
  EXPECT_EQ(keymap(), before);
}

TEST_F(QtInputE2E, PressClicksTheButtonOnce) {
  auto app = startFocusedApp({"--title", "Qt pressing"}, KEX_QT_TEST_APP_PATH);
  const auto observed = observe("Qt pressing");
  ASSERT_TRUE(observed);
  const std::string ok = nodeTitled(observed->targetId, "OK");
  ASSERT_FALSE(ok.empty());
  const json response = action(*observed, ok, "press");
  ASSERT_EQ(response.value("ok", false), true) << response.dump();
  EXPECT_EQ(nextLineOf(*app, "clicked "), "clicked OK");
  const std::string cancel = nodeTitled(observed->targetId, "Cancel");
  ASSERT_EQ(action(*observed, cancel, "press").value("ok", false), true);
  EXPECT_EQ(nextLineOf(*app, "clicked "), "clicked Cancel");
}

TEST_F(QtInputE2E, FocusBringsACoveredQtWindowToTheFront) {
  auto app = startFocusedApp(
      {"--title", "Qt covered", "--bare", "--position", "100,100", "--size", "300x200"},
      KEX_QT_TEST_APP_PATH);
  auto cover =
      startFocusedApp({"--title", "Cover", "--bare", "--position", "80,80", "--size", "400x300"});
  ASSERT_TRUE(app->waitForLine("focus-out", harness::deadlineIn(kAppEventDeadline)));
  const json response = requestFresh("computer.focus", {{"targetId", listedTarget("Qt covered")}});
  ASSERT_EQ(response.value("ok", false), true) << response.dump();
  EXPECT_EQ(response["result"], (json{{"verified", true}}));
  EXPECT_TRUE(app->waitForLine("focus-in", harness::deadlineIn(kAppEventDeadline)));
}

}  // namespace
}  // namespace kex::e2e

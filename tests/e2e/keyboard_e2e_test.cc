// computer.keyboard on a private desktop: text of any script arrives whole, in order and once,
// the keymap is left as it was (by the release watchdog when kex-computer is killed while
// typing), named keys carry their modifiers, and a password field is never typed into.
#include <signal.h>

#include <string>
#include <vector>

#include "tests/e2e/control_probe.h"
#include "tests/e2e/input_fixture.h"

namespace kex::e2e {
namespace {

using KeyboardE2E = InputE2E;

// Code points of UTF-8 text, each as its own string.
std::vector<std::string> charactersOf(const std::string& text) {
  std::vector<std::string> characters;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    characters.push_back(text.substr(i, length));
    i += length;
  }
  return characters;
}

// Reads the entry's reports until it holds the text, and expects every report on the way to add
// exactly the next character: nothing lost, doubled or out of order.
void expectTypedOneByOne(harness::TestApp& app, const std::string& text) {
  std::string expected;
  for (const auto& character : charactersOf(text)) {
    expected += character;
    const auto line = nextLineOf(app, "text ");
    ASSERT_TRUE(line) << "the entry stopped before " << expected;
    ASSERT_EQ(*line, "text " + expected);
  }
}

TEST_F(KeyboardE2E, TypesCharactersMissingFromTheKeymapAndBeyondTheBasicPlaneAndRestoresIt) {
  auto app = startFocusedApp({"--title", "Typing"});
  const auto observed = observe("Typing");
  ASSERT_TRUE(observed);
  const std::string before = keymap();
  ASSERT_FALSE(before.empty());
  const std::string text = "h\u00e9llo w\u00f6rld \u2014 \u2713 \U0001F600";
  const json response = keyboard(*observed, {{"text", text}});
  ASSERT_EQ(response.value("ok", false), true) << response.dump();
  EXPECT_EQ(response["result"], (json{{"verified", false}}));
  expectTypedOneByOne(*app, text);
  EXPECT_EQ(keymap(), before);
}

TEST_F(KeyboardE2E, TypesALongMixedTextAcrossChunksInOrder) {
  auto app = startFocusedApp({"--title", "Long typing"});
  const auto observed = observe("Long typing");
  ASSERT_TRUE(observed);
  const std::string before = keymap();
  // 47 characters, more than one chunk of accented, symbol and astral characters, some twice.
  const std::string text =
      "\u00c0\u00c9\u00ce\u00d5\u00dc \u00e0\u00e9\u00ee\u00f5\u00fc \u00f1\u00e7\u00df "
      "\u20ac\u2013\u2014 \u03b1\u03b2\u03b3 \u0416\u0436 \U0001F600\U0001F601\U0001F602 "
      "\u00e9\u00e9 Ab1! \u2713\u2713";
  ASSERT_EQ(keyboard(*observed, {{"text", text}}).value("ok", false), true);
  expectTypedOneByOne(*app, text);
  EXPECT_EQ(keymap(), before);
}

TEST_F(KeyboardE2E, PressesReturnWithMetaAndShift) {
  auto app = startFocusedApp({"--title", "Keys"});
  const auto observed = observe("Keys");
  ASSERT_TRUE(observed);
  const json response = keyboard(*observed, {{"key", "Return"}, {"modifiers", {"meta", "shift"}}});
  ASSERT_EQ(response.value("ok", false), true) << response.dump();
  EXPECT_EQ(nextLineOf(*app, "key Return"), "key Return shift super");
  // The modifiers came up again: a plain key after it carries none.
  ASSERT_EQ(keyboard(*observed, {{"key", "Tab"}}).value("ok", false), true);
  EXPECT_EQ(nextLineOf(*app, "key Tab"), "key Tab");
}

TEST_F(KeyboardE2E, NeverTypesIntoThePasswordEntry) {
  auto app = startFocusedApp({"--title", "Secrets"});
  const auto observed = observe("Secrets");
  ASSERT_TRUE(observed);
  // The text entry has the focus first; the tab key moves it to the password entry.
  ASSERT_EQ(keyboard(*observed, {{"key", "Tab"}}).value("ok", false), true);
  ASSERT_TRUE(nextLineOf(*app, "key Tab"));
  expectRefusedUndispatched(keyboard(*observed, {{"text", "hunter2"}}), "protected_target");
  expectRefusedUndispatched(keyboard(*observed, {{"key", "a"}}), "protected_target");
  // Back in the text entry, typing works, and the password entry never saw a key.
  const std::string node = nodeTitled(observed->targetId, "Text");
  ASSERT_FALSE(node.empty());
  const json focus =
      requestFresh("computer.action",
                   {{"nodeId", node}, {"captureId", observed->captureId}, {"action", "focus"}});
  ASSERT_EQ(focus.value("ok", false), true) << focus.dump();
  ASSERT_EQ(keyboard(*observed, {{"text", "ok"}}).value("ok", false), true);
  EXPECT_EQ(nextLineOf(*app, "text ok"), "text ok");
  for (const auto& line : app->lines()) EXPECT_FALSE(line.starts_with("secret ")) << line;
}

TEST_F(KeyboardE2E, AKilledTypistsTemporaryBindingIsTakenBackByItsWatchdog) {
  auto app = startFocusedApp({"--title", "Killed typing", "--stall-on-key", "3000"});
  auto computer = startHelper(desktop().newLogPath("killed-typist"));
  const auto observed = observe(*computer, "Killed typing");
  ASSERT_TRUE(observed);
  const std::string before = keymap();
  json args = computer->freshnessArgs();
  args["captureId"] = observed->captureId;
  args["text"] = "\u2713";
  ASSERT_TRUE(computer->sendLine(harness::Helper::envelope("typing", "computer.keyboard", args)));
  // The key reached the application, which now stalls and answers no ping, so kex-computer keeps
  // the check mark bound for the moment. Stopped there, it cannot take the binding back itself.
  ASSERT_TRUE(nextLineOf(*app, "key "));
  ASSERT_TRUE(computer->process().signal(SIGSTOP));
  const pid_t watchdog = releaseWatchdogOf(computer->process().pid());
  ASSERT_GT(watchdog, 0);
  ASSERT_NE(keymap(), before) << "the binding was taken back before the kill";

  ASSERT_TRUE(computer->process().signal(SIGKILL));
  EXPECT_EQ(computer->waitExit(harness::deadlineIn(kAppEventDeadline)), 128 + SIGKILL);
  // The watchdog, adopted by this process, takes the binding back before it ends.
  EXPECT_EQ(waitForAdoptedExit(watchdog, harness::deadlineIn(kAppEventDeadline)),
            std::optional<int>(0));
  EXPECT_EQ(keymap(), before);
}

}  // namespace
}  // namespace kex::e2e

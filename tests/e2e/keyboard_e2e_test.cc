// computer.keyboard on a private desktop: text of any script arrives whole, in order and once,
// the keymap is left as it was (by the release watchdog when kex-computer is killed while
// typing), named keys carry their modifiers, and a password field is never typed into.
#include <signal.h>

#include <algorithm>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/control_probe.h"
#include "tests/e2e/input_fixture.h"

namespace kex::e2e {
namespace {

// Changes the keyboard mapping with xmodmap expressions for one test, and undoes the change
// with others when the test ends, however it ends. Runs on the test thread.
class KeymapChange {
 public:
  KeymapChange(harness::VirtualDesktop& desktop, const std::vector<std::string>& change,
               std::vector<std::string> undo)
      : desktop_(desktop), undo_(std::move(undo)) {
    for (const auto& expression : change) {
      EXPECT_EQ(desktop_.runTool({"xmodmap", "-e", expression}).exitStatus, 0) << expression;
    }
  }
  ~KeymapChange() {
    for (const auto& expression : undo_) (void)desktop_.runTool({"xmodmap", "-e", expression});
  }
  KeymapChange(const KeymapChange&) = delete;
  KeymapChange& operator=(const KeymapChange&) = delete;

 private:
  harness::VirtualDesktop& desktop_;
  std::vector<std::string> undo_;
};

class KeyboardE2E : public InputE2E {
 protected:
  // The "keycode N = ..." lines of the keymap whose keysyms include this one.
  std::vector<std::string> keymapLinesWith(const std::string& keysym) {
    std::vector<std::string> lines;
    std::istringstream keys(keymap());
    for (std::string line; std::getline(keys, line);) {
      std::istringstream words(line);
      std::vector<std::string> parts{std::istream_iterator<std::string>(words), {}};
      if (std::find(parts.begin(), parts.end(), keysym) != parts.end()) lines.push_back(line);
    }
    return lines;
  }

  // GTK tells accessibility clients of a focus move from an idle callback after the move:
  // asked in between, the window holds nothing focused, and the guard refuses with
  // "focus_changed" and nothing posted. A host that pressed Tab sees the new focus a moment
  // later; the request is sent again until the refusal ends, each refusal checked.
  json keyboardOnceTheFocusShows(const Observed& observed, const json& args) {
    const auto deadline = harness::deadlineIn(kAppEventDeadline);
    json response = keyboard(observed, args);
    while (response.value("error", "") == "focus_changed" && !harness::hasPassed(deadline)) {
      EXPECT_EQ(response.value("dispatched", true), false) << response.dump();
      response = keyboard(observed, args);
    }
    return response;
  }
};

// "keycode N = ..." becomes "keycode N =": the key produces nothing.
std::string cleared(const std::string& keycodeLine) {
  return keycodeLine.substr(0, keycodeLine.find('=') + 1);
}

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

TEST_F(KeyboardE2E, RefusesAModifierTheKeymapLacksInsteadOfPressingTheKeyWithoutIt) {
  auto app = startFocusedApp({"--title", "No super"});
  const auto observed = observe("No super");
  ASSERT_TRUE(observed);
  const auto superKeys = keymapLinesWith("Super_L");
  ASSERT_FALSE(superKeys.empty());
  std::vector<std::string> clear;
  for (const auto& line : superKeys) clear.push_back(cleared(line));
  std::vector<std::string> restore = superKeys;
  restore.push_back("add mod4 = Super_L");
  const KeymapChange noSuper(desktop(), clear, restore);
  expectRefusedUndispatched(
      keyboard(*observed, {{"key", "Return"}, {"modifiers", {"meta", "shift"}}}), "input_blocked");
  // What the keymap has still goes out; the refused Return never arrived, not even plain.
  const json allowed = keyboard(*observed, {{"key", "Return"}, {"modifiers", {"shift"}}});
  ASSERT_EQ(allowed.value("ok", false), true) << allowed.dump();
  EXPECT_EQ(nextLineOf(*app, "key Return"), "key Return shift");
  EXPECT_TRUE(heldInput(desktop()).empty());
}

TEST_F(KeyboardE2E, TypesShiftedCharactersOnKeysOfTheirOwnWhenNoKeyShifts) {
  auto app = startFocusedApp({"--title", "No shift"});
  const auto observed = observe("No shift");
  ASSERT_TRUE(observed);
  // A keymap without Shift keys.
  std::vector<std::string> shiftKeys = keymapLinesWith("Shift_L");
  for (const auto& line : keymapLinesWith("Shift_R")) shiftKeys.push_back(line);
  ASSERT_FALSE(shiftKeys.empty());
  std::vector<std::string> clear;
  for (const auto& line : shiftKeys) clear.push_back(cleared(line));
  std::vector<std::string> restore = shiftKeys;
  restore.push_back("add shift = Shift_L Shift_R");
  const KeymapChange noShift(desktop(), clear, restore);
  const std::string before = keymap();
  const std::string text = "Ab?";
  const json response = keyboard(*observed, {{"text", text}});
  ASSERT_EQ(response.value("ok", false), true) << response.dump();
  expectTypedOneByOne(*app, text);
  EXPECT_EQ(keymap(), before);
}

TEST_F(KeyboardE2E, NeverTypesIntoThePasswordEntry) {
  auto app = startFocusedApp({"--title", "Secrets"});
  const auto observed = observe("Secrets");
  ASSERT_TRUE(observed);
  // The text entry has the focus first; the tab key moves it to the password entry.
  ASSERT_EQ(keyboard(*observed, {{"key", "Tab"}}).value("ok", false), true);
  ASSERT_TRUE(nextLineOf(*app, "key Tab"));
  expectRefusedUndispatched(keyboardOnceTheFocusShows(*observed, {{"text", "hunter2"}}),
                            "protected_target");
  expectRefusedUndispatched(keyboard(*observed, {{"key", "a"}}), "protected_target");
  // Back in the text entry, typing works, and the password entry never saw a key.
  const std::string node = nodeTitled(observed->targetId, "Text");
  ASSERT_FALSE(node.empty());
  const json focus = action(*observed, node, "focus");
  ASSERT_EQ(focus.value("ok", false), true) << focus.dump();
  const json typed = keyboardOnceTheFocusShows(*observed, {{"text", "ok"}});
  ASSERT_EQ(typed.value("ok", false), true) << typed.dump();
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

// computer.keyboard: named keys with modifiers, text in chunks that never split a character,
// and the release of every key however the request ends.
#include <gtest/gtest.h>

#include "main/control/text_chunks.h"
#include "tests/control/control_fixture.h"

namespace kex::testing {
namespace {

using platform::Event;
using platform::EventType;

class KeyboardTest : public ControlTest {
 protected:
  void SetUp() override { capture = captureOf(); }

  Outcome press(Json args) {
    args["captureId"] = capture;
    return run("computer.keyboard", std::move(args));
  }

  // The texts of the key-down events, in order.
  std::vector<std::u16string> typedChunks() {
    std::vector<std::u16string> chunks;
    for (const auto& event : desktop.posted()) {
      if (event.type == EventType::keyDown) chunks.push_back(event.text);
    }
    return chunks;
  }

  std::string capture;
};

TEST_F(KeyboardTest, ReturnWithMetaAndShiftPostsCode36DownAndUpWithExactlyThoseFlags) {
  const auto outcome = press({{"key", "Return"}, {"modifiers", {"meta", "shift"}}});
  EXPECT_EQ(outcome.code, "");
  EXPECT_EQ(outcome.result, (Json{{"verified", false}}));
  Event down;
  down.type = EventType::keyDown;
  down.keyCode = 36;
  down.flags = 0x100000 | 0x20000;
  Event up = down;
  up.type = EventType::keyUp;
  EXPECT_EQ(desktop.posted(), (std::vector<Event>{down, up}));
  // The watchdog learned of the key-up before the key-down went out, and then that nothing is
  // held any more.
  ASSERT_EQ(watchdog->exchanges.size(), 3u);
  EXPECT_EQ(watchdog->exchanges[1], std::vector<Event>{up});
  EXPECT_TRUE(watchdog->exchanges[2].empty());
  EXPECT_EQ(safety.heldCount(), 0u);
}

TEST_F(KeyboardTest, AKeyTheDesktopCannotMakeIsInputBlockedWithNothingPostedOrHeld) {
  // A keyboard without the Super key: Return with meta must not become a plain Return.
  desktop.setFailing(Op::post);
  desktop.setPostFailure(PostFailure::refused);
  const auto refused = press({{"key", "Return"}, {"modifiers", {"meta"}}});
  EXPECT_EQ(refused.code, "input_blocked");
  EXPECT_FALSE(refused.dispatched);
  EXPECT_TRUE(desktop.posted().empty());
  EXPECT_EQ(safety.heldCount(), 0u);
  EXPECT_TRUE(watchdog->exchanges.back().empty());
  // The same for a text the desktop cannot type whole.
  const auto text = press({{"text", "h\u00e9llo"}});
  EXPECT_EQ(text.code, "input_blocked");
  EXPECT_FALSE(text.dispatched);
  EXPECT_TRUE(desktop.posted().empty());

  desktop.setFailing(Op::post, false);
  EXPECT_EQ(press({{"key", "Return"}, {"modifiers", {"meta"}}}).code, "");
  EXPECT_EQ(desktop.posted().size(), 2u);
}

TEST_F(KeyboardTest, AKeyThatCouldNotBeSentFailsAndSaysWhetherItMayHaveArrived) {
  desktop.setFailing(Op::post);
  const auto undelivered = press({{"key", "a"}});
  EXPECT_EQ(undelivered.code, "native_operation_failed");
  EXPECT_FALSE(undelivered.dispatched);
  EXPECT_TRUE(desktop.posted().empty());

  // The connection broke while the key-down went out: it may be down, so its key-up is posted
  // once the desktop takes input again.
  desktop.setPostFailure(PostFailure::partial);
  desktop.setPostHook([&](const Event&) { desktop.setFailing(Op::post, false); });
  const auto partial = press({{"key", "a"}});
  EXPECT_EQ(partial.code, "native_operation_failed");
  EXPECT_TRUE(partial.dispatched);
  EXPECT_EQ(count(EventType::keyUp), 1u);
  EXPECT_TRUE(desktop.heldKeys().empty());
  EXPECT_EQ(safety.heldCount(), 0u);
}

TEST_F(KeyboardTest, PostsEachNamedKeyWithItsCode) {
  const std::vector<std::pair<std::string, std::uint16_t>> keys = {
      {"Return", 36}, {"Tab", 48},   {"Escape", 53}, {"Backspace", 51}, {"Left", 123},
      {"Right", 124}, {"Down", 125}, {"Up", 126},    {"a", 0},          {"c", 8},
      {"v", 9},       {"x", 7},      {"z", 6}};
  for (const auto& [name, code] : keys) {
    ASSERT_EQ(press({{"key", name}}).code, "") << name;
    EXPECT_EQ(desktop.posted().back().keyCode, code) << name;
  }
}

TEST_F(KeyboardTest, RefusesKeyNamesOutsideTheTableAndAMissingKeyWithoutPostingAnything) {
  for (const Json& key : {Json("return"), Json("A"), Json(""), Json(36)}) {
    const auto outcome = press({{"key", key}});
    EXPECT_EQ(outcome.code, "invalid_arguments") << key;
    EXPECT_FALSE(outcome.dispatched);
  }
  EXPECT_EQ(press({{"text", ""}}).code, "invalid_arguments");
  EXPECT_EQ(press(Json::object()).code, "invalid_arguments");
  EXPECT_TRUE(desktop.posted().empty());
}

TEST_F(KeyboardTest, RefusesAnUnknownModifierInKeyAndTextMode) {
  EXPECT_EQ(press({{"key", "a"}, {"modifiers", {"option"}}}).code, "invalid_arguments");
  EXPECT_EQ(press({{"text", "hi"}, {"modifiers", {"shift", "option"}}}).code, "invalid_arguments");
  EXPECT_TRUE(desktop.posted().empty());
}

TEST_F(KeyboardTest, AModifierValueThatIsNotAnArrayOfStringsCountsAsNone) {
  ASSERT_EQ(press({{"key", "a"}, {"modifiers", "shift"}}).code, "");
  ASSERT_EQ(press({{"key", "a"}, {"modifiers", {"shift", 3}}}).code, "");
  ASSERT_EQ(press({{"key", "a"}, {"modifiers", {"control", "control"}}}).code, "");
  const auto posted = desktop.posted();
  ASSERT_EQ(posted.size(), 6u);
  EXPECT_EQ(posted[0].flags, 0u);
  EXPECT_EQ(posted[2].flags, 0u);
  EXPECT_EQ(posted[4].flags, 0x40000u);
}

TEST_F(KeyboardTest, TypesTextWithKeyCodeZeroAndNoFlagsEvenWithModifiers) {
  ASSERT_EQ(press({{"text", "héllo"}, {"modifiers", {"meta"}}, {"key", "Return"}}).code, "");
  const auto posted = desktop.posted();
  ASSERT_EQ(posted.size(), 2u);
  for (const auto& event : posted) {
    EXPECT_EQ(event.keyCode, 0);
    EXPECT_EQ(event.flags, 0u);
    EXPECT_EQ(event.text, u"héllo");
  }
  EXPECT_EQ(posted[0].type, EventType::keyDown);
  EXPECT_EQ(posted[1].type, EventType::keyUp);
}

TEST_F(KeyboardTest, TypesATextOf1024CharactersIn52ChunksAndRefuses1025) {
  std::string text;
  for (int i = 0; i < 1024; ++i) text += static_cast<char>('a' + i % 26);
  ASSERT_EQ(press({{"text", text + "b"}}).code, "invalid_arguments");
  EXPECT_TRUE(desktop.posted().empty());

  ASSERT_EQ(press({{"text", text}}).code, "");
  const auto chunks = typedChunks();
  ASSERT_EQ(chunks.size(), 52u);
  for (std::size_t i = 0; i < 51; ++i) EXPECT_EQ(chunks[i].size(), 20u);
  EXPECT_EQ(chunks[51].size(), 4u);
  std::u16string joined;
  for (const auto& chunk : chunks) joined += chunk;
  EXPECT_EQ(joined, *utf16Of(text));
  EXPECT_EQ(count(EventType::keyUp), 52u);
  EXPECT_EQ(safety.heldCount(), 0u);
}

TEST_F(KeyboardTest, Types21CharactersOutsideTheBasicPlaneInChunksOf10And10And1) {
  std::string text;
  for (int i = 0; i < 21; ++i) text += "\U0001F600";
  ASSERT_EQ(press({{"text", text}}).code, "");
  const auto chunks = typedChunks();
  ASSERT_EQ(chunks.size(), 3u);
  EXPECT_EQ(chunks[0].size(), 20u);
  EXPECT_EQ(chunks[1].size(), 20u);
  EXPECT_EQ(chunks[2], u"\U0001F600");
}

TEST_F(KeyboardTest, VerifiesTheWindowOnceBeforeEachChunk) {
  desktop.clearCalls();
  ASSERT_EQ(press({{"text", std::string(45, 'x')}}).code, "");
  const auto calls = desktop.calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), Op::liveWindow), 3);
  EXPECT_EQ(typedChunks().size(), 3u);
}

TEST_F(KeyboardTest, RechecksTheKeyboardFocusBeforeEveryChunk) {
  std::string text(45, 'x');
  int keyUps = 0;
  desktop.setPostHook([&](const Event& event) {
    if (event.type == EventType::keyUp && ++keyUps == 1) {
      desktop.setFocusedElement(kAppPid, password);
    }
  });
  const auto outcome = press({{"text", text}});
  EXPECT_EQ(outcome.code, "protected_target");
  EXPECT_TRUE(outcome.dispatched);
  EXPECT_EQ(typedChunks(), std::vector<std::u16string>{std::u16string(20, u'x')});
  EXPECT_EQ(safety.heldCount(), 0u);
}

TEST_F(KeyboardTest, ReleasesTheKeyWhenTheWatchdogCannotBeToldOfIt) {
  watchdog->refusesPresses = true;
  const auto outcome = press({{"key", "Tab"}});
  EXPECT_EQ(outcome.code, "input_watchdog_lost");
  EXPECT_TRUE(outcome.dispatched);
  // The key-down never went out; its registered key-up did, and nothing stays held.
  ASSERT_EQ(desktop.posted().size(), 1u);
  EXPECT_EQ(desktop.posted()[0].type, EventType::keyUp);
  EXPECT_EQ(safety.heldCount(), 0u);
}

TEST_F(KeyboardTest, AStoppedControllerPostsNothing) {
  safety.cancel("human_interrupted");
  EXPECT_EQ(press({{"key", "Tab"}}).code, "human_interrupted");
  EXPECT_TRUE(desktop.posted().empty());
}

// --- chunking ------------------------------------------------------------------------------

TEST(TextChunks, NeverSplitsASurrogatePair) {
  std::u16string text(19, u'a');
  text += u"\U0001F600";
  text += u"b";
  const auto chunks = textChunks(text);
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[0], std::u16string(19, u'a'));
  EXPECT_EQ(chunks[1], u"\U0001F600b");
}

TEST(TextChunks, FillsAChunkToExactlyTwentyUnits) {
  std::u16string text(18, u'a');
  text += u"\U0001F600";
  text += u"b";
  const auto chunks = textChunks(text);
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[0].size(), 20u);
  EXPECT_EQ(chunks[1], u"b");
  EXPECT_TRUE(textChunks(u"").empty());
}

TEST(TextChunks, DecodesUtf8AndRefusesWhatIsNotUtf8) {
  EXPECT_EQ(utf16Of("h\xC3\xA9\xE2\x9C\x93\xF0\x9F\x98\x80"), u"hé✓😀");
  EXPECT_FALSE(utf16Of("\xC0\xAF"));          // overlong
  EXPECT_FALSE(utf16Of("\xED\xA0\x80"));      // a surrogate
  EXPECT_FALSE(utf16Of("\xF4\x90\x80\x80"));  // past the last plane
  EXPECT_FALSE(utf16Of("\xE2\x9C"));          // cut short
}

}  // namespace
}  // namespace kex::testing

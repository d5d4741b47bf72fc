// The release-watchdog mode, run on a thread of the test over two pipes, posting to the
// in-memory desktop.
#include "main/safety/release_watchdog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "main/safety/control_lock.h"
#include "main/safety/held_input_line.h"
#include "tests/desktop/memory_desktop.h"
#include "tests/safety/safety_fixture.h"
#include "tests/safety/temp_dir.h"

namespace kex::testing {
namespace {

using platform::Event;
using platform::EventType;

// Posts through another desktop's event services.
class ForwardingPoster final : public platform::EventServices {
 public:
  explicit ForwardingPoster(platform::EventServices& target) : target_(target) {}
  void post(const Event& event) override { target_.post(event); }
  std::int32_t maxScrollLines() override { return target_.maxScrollLines(); }
  void undoAbandonedTyping() override { target_.undoAbandonedTyping(); }
  std::unique_ptr<platform::InputTap> createInputTap(platform::InputTapListener&) override {
    return nullptr;
  }

 private:
  platform::EventServices& target_;
};

// One watchdog on a thread of its own; the test thread plays its parent.
class WatchdogRun {
 public:
  WatchdogRun(MemoryDesktop& desktop, const std::string& lockPath, bool canPost = true) {
    int input[2];
    int output[2];
    if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0) std::abort();
    toChild_ = input[1];
    fromChild_ = output[0];
    thread_ = std::thread([&desktop, lockPath, canPost, in = input[0], out = output[1], this] {
      releaseWatchdog(
          [&desktop, canPost, this]() -> std::unique_ptr<platform::EventServices> {
            posterOpened_ = true;
            if (!canPost) return nullptr;
            return std::make_unique<ForwardingPoster>(desktop.events());
          },
          lockPath, in, out);
      ::close(in);
      ::close(out);
    });
  }
  ~WatchdogRun() {
    finish();
    if (fromChild_ >= 0) ::close(fromChild_);
  }
  WatchdogRun(const WatchdogRun&) = delete;
  WatchdogRun& operator=(const WatchdogRun&) = delete;

  void send(const std::string& bytes) {
    ASSERT_EQ(::write(toChild_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  // The next answer byte; nothing once the watchdog has ended without one.
  std::optional<char> answer() {
    pollfd entry{fromChild_, POLLIN, 0};
    if (::poll(&entry, 1, 10'000) != 1) return std::nullopt;
    char byte;
    if (::read(fromChild_, &byte, 1) != 1) return std::nullopt;
    return byte;
  }

  // Sends the line and expects it accepted.
  void accept(const std::string& line) {
    send(line + "\n");
    EXPECT_EQ(answer(), std::optional<char>(kWatchdogAccepted)) << line.substr(0, 80);
  }

  // Sends the line and expects the watchdog to end without answering.
  void refuse(const std::string& line) {
    send(line + "\n");
    EXPECT_EQ(answer(), std::nullopt) << line.substr(0, 80);
    finish();
  }

  // Closes the watchdog's input, as a parent's death does, and waits for it to end.
  void finish() {
    if (toChild_ >= 0) ::close(toChild_);
    toChild_ = -1;
    if (thread_.joinable()) thread_.join();
  }

  // The parent stops reading answers, so the next one cannot be written.
  void closeAnswers() {
    ::close(fromChild_);
    fromChild_ = -1;
  }

  [[nodiscard]] bool posterOpened() const { return posterOpened_; }

 private:
  int toChild_ = -1;
  int fromChild_ = -1;
  std::atomic<bool> posterOpened_ = false;  // written by the watchdog's thread
  std::thread thread_;
};

const std::string kKeyRecord = R"({"key":true,"code":0,"flags":1179648,"x":0,"y":0})";

Event keyUp(std::uint16_t code, std::uint64_t flags = 0) {
  return keyEvent(EventType::keyUp, code, flags);
}

// Each release is posted twice: at once, and again after a pause for late presses.
std::vector<Event> twice(const std::vector<Event>& events) {
  std::vector<Event> doubled = events;
  doubled.insert(doubled.end(), events.begin(), events.end());
  return doubled;
}

// A held-input line of exactly `size` bytes holding one key record of the code.
std::string paddedLine(std::size_t size, std::uint16_t code) {
  std::string line = R"([{"key":true,"code":)" + std::to_string(code) + "}";
  line += std::string(size - line.size() - 1, ' ');
  line += "]";
  return line;
}

std::string records(std::size_t count) {
  std::string line = "[";
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) line += ",";
    line += R"({"key":true,"code":)" + std::to_string(i) + "}";
  }
  return line + "]";
}

class ReleaseWatchdogTest : public ::testing::Test {
 protected:
  TempDir runtime;
  std::string lockPath = controlLockPath(runtime.path().c_str(), ::getuid());
  MemoryDesktop desktop;
};

TEST_F(ReleaseWatchdogTest, AParentThatEndsWithNothingHeldLeavesNothingToPost) {
  WatchdogRun run(desktop, lockPath);
  run.accept("[]");
  run.accept("[" + kKeyRecord + "]");
  run.accept("[]");
  run.finish();
  EXPECT_TRUE(desktop.posted().empty());
  EXPECT_TRUE(desktop.typingUndone().empty());
}

TEST_F(ReleaseWatchdogTest, ADeadParentsTypingChangesAreUndoneAfterItsReleases) {
  // The parent typed text and was killed before its key came up.
  Event typed = keyEvent(EventType::keyDown, 0);
  typed.text = u"\u2713";
  desktop.events().post(typed);
  ASSERT_TRUE(desktop.typingChangesInPlace());
  WatchdogRun run(desktop, lockPath);
  run.accept(R"([{"key":true,"code":0,"flags":0,"x":0,"y":0}])");
  run.finish();
  EXPECT_FALSE(desktop.typingChangesInPlace());
  EXPECT_EQ(desktop.typingUndone(), std::vector<std::size_t>{3}) << "after both releases";
}

TEST_F(ReleaseWatchdogTest, GivenNoInputItEndsAtOnceWithoutPosting) {
  WatchdogRun run(desktop, lockPath);
  run.finish();
  EXPECT_TRUE(desktop.posted().empty());
}

TEST_F(ReleaseWatchdogTest, ADeadParentsKeyIsReleasedWithItsRecordedFlags) {
  WatchdogRun run(desktop, lockPath);
  run.accept("[" + kKeyRecord + "]");
  EXPECT_TRUE(desktop.posted().empty()) << "nothing is posted while lines are accepted";
  run.finish();
  EXPECT_EQ(desktop.posted(), twice({keyUp(0, 0x120000)}));
}

TEST_F(ReleaseWatchdogTest, AButtonIsReleasedAtItsRecordedPositionAndMissingFieldsAreZero) {
  WatchdogRun run(desktop, lockPath);
  run.accept(R"([{"key":true,"code":36},{"x":12.5,"y":-3,"flags":2},{"key":"yes"},{}])");
  run.finish();
  Event button = pointerEvent(EventType::leftMouseUp, 12.5, -3);
  button.flags = 2;
  const Event origin = pointerEvent(EventType::leftMouseUp, 0, 0);
  EXPECT_EQ(desktop.posted(), twice({keyUp(36), button, origin, origin}));
}

TEST_F(ReleaseWatchdogTest, EachLineReplacesTheWholeHeldSet) {
  WatchdogRun run(desktop, lockPath);
  run.accept(R"([{"key":true,"code":1},{"key":true,"code":2}])");
  run.accept(R"([{"key":true,"code":3}])");
  run.finish();
  EXPECT_EQ(desktop.posted(), twice({keyUp(3)}));
}

TEST_F(ReleaseWatchdogTest, ReadsFieldsOfTheWrongTypeAsZero) {
  WatchdogRun run(desktop, lockPath);
  run.accept(R"([{"key":true,"code":36.5,"flags":-4},{"x":"1","y":null,"flags":1.5}])");
  run.finish();
  EXPECT_EQ(desktop.posted(), twice({keyUp(0), pointerEvent(EventType::leftMouseUp, 0, 0)}));
}

TEST_F(ReleaseWatchdogTest, ALineOf8191BytesIsAcceptedAndOneOf8192EndsIt) {
  WatchdogRun run(desktop, lockPath);
  run.accept(paddedLine(8191, 5));
  run.refuse(paddedLine(8192, 6));
  EXPECT_EQ(desktop.posted(), twice({keyUp(5)}));
}

TEST_F(ReleaseWatchdogTest, AnOverlongLineEndsItBeforeItsEndArrives) {
  WatchdogRun run(desktop, lockPath);
  run.accept("[" + kKeyRecord + "]");
  run.send(std::string(20000, ' '));
  EXPECT_EQ(run.answer(), std::nullopt);
  run.finish();
  EXPECT_EQ(desktop.posted(), twice({keyUp(0, 0x120000)}));
}

TEST_F(ReleaseWatchdogTest, SixteenRecordsAreAcceptedAndSeventeenEndIt) {
  WatchdogRun run(desktop, lockPath);
  run.accept(records(16));
  run.refuse(records(17));
  std::vector<Event> sixteen;
  for (std::uint16_t code = 0; code < 16; ++code) sixteen.push_back(keyUp(code));
  EXPECT_EQ(desktop.posted(), twice(sixteen));
}

TEST_F(ReleaseWatchdogTest, MalformedLinesEndItAfterReleasingTheLastAcceptedSet) {
  for (const std::string bad :
       {R"([{"key":true,"code":1})", "{}", R"([{"key":true},3])", "[[]]", "", "null",
        R"([{"key":true,"code":65536}])", R"([{"key":true,"code":-1}])",
        R"([{"key":true,"code":18446744073709551615}])", "[\"\xff\"]"}) {
    MemoryDesktop fresh;
    WatchdogRun run(fresh, lockPath);
    run.accept(R"([{"key":true,"code":65535}])");
    run.refuse(bad);
    EXPECT_EQ(fresh.posted(), twice({keyUp(65535)})) << bad;
  }
}

TEST_F(ReleaseWatchdogTest, AnAnswerThatCannotBeWrittenEndsItAfterReleasingThatLinesSet) {
  WatchdogRun run(desktop, lockPath);
  run.accept(R"([{"key":true,"code":1}])");
  run.closeAnswers();
  run.send("[{\"key\":true,\"code\":2}]\n");
  run.finish();
  EXPECT_EQ(desktop.posted(), twice({keyUp(2)}));
}

TEST_F(ReleaseWatchdogTest, ALineCutOffByTheParentsEndIsNotAccepted) {
  WatchdogRun run(desktop, lockPath);
  run.accept(R"([{"key":true,"code":1}])");
  run.send(R"([{"key":true,"code":2}])");
  run.finish();
  EXPECT_EQ(desktop.posted(), twice({keyUp(1)}));
}

TEST_F(ReleaseWatchdogTest, ALockHeldElsewhereIsAnsweredWithTwoAndNothingElse) {
  auto held = ControlLock::acquire(lockPath, ::getuid());
  ASSERT_TRUE(held.has_value());
  WatchdogRun run(desktop, lockPath);
  EXPECT_EQ(run.answer(), std::optional<char>(kWatchdogLockRefused));
  EXPECT_EQ(run.answer(), std::nullopt);
  EXPECT_FALSE(run.posterOpened());
}

TEST_F(ReleaseWatchdogTest, AWatchdogThatCannotPostNeverAnswersAndFreesTheLock) {
  {
    WatchdogRun run(desktop, lockPath, /*canPost=*/false);
    EXPECT_EQ(run.answer(), std::nullopt);
    EXPECT_TRUE(run.posterOpened());
  }
  EXPECT_TRUE(ControlLock::acquire(lockPath, ::getuid()).has_value());
}

TEST(HeldInputLine, WritesOneCompactRecordPerReleaseAndReadsItBack) {
  Event button = pointerEvent(EventType::leftMouseUp, 10.5, 20);
  button.flags = 0x100000;
  const std::vector<Event> releases{keyUp(36, 0x120000), button};
  const std::string line = heldInputLine(releases);
  EXPECT_EQ(line, R"([{"code":36,"flags":1179648,"key":true,"x":0.0,"y":0.0},)"
                  R"({"code":0,"flags":1048576,"key":false,"x":10.5,"y":20.0}])"
                  "\n");
  EXPECT_EQ(parseHeldInputLine(std::string_view(line).substr(0, line.size() - 1)), releases);
  EXPECT_EQ(heldInputLine({}), "[]\n");
}

}  // namespace
}  // namespace kex::testing

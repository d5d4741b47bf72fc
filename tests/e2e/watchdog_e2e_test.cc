// kex-computer --release-watchdog driven by hand on a real X server: what it releases when its
// input ends, and the lines that end it early.
#include <string>
#include <vector>

#include "tests/e2e/control_probe.h"
#include "tests/e2e/e2e_fixture.h"

namespace kex::e2e {
namespace {

using harness::deadlineIn;

constexpr auto kDeadline = std::chrono::seconds(10);
constexpr char kAccepted = 1;
constexpr char kLockRefused = 2;
const std::string kKeyA = "key 38";
const std::string kShiftL = "key 50";

// A held-input line of exactly `size` bytes holding a key record for 'a' (virtual key 0).
std::string paddedKeyLine(std::size_t size) {
  std::string line = R"([{"key":true,"code":0,"flags":0,"x":0,"y":0})";
  line += std::string(size - line.size() - 1, ' ');
  return line + "]";
}

std::string keyRecords(std::size_t count) {
  std::string line = "[";
  for (std::size_t i = 0; i < count; ++i)
    line += (i ? "," : "") + std::string(R"({"key":true,"code":0})");
  return line + "]";
}

// One watchdog started as its parent would start it; the test plays the parent.
class WatchdogChild {
 public:
  explicit WatchdogChild(harness::VirtualDesktop& desktop) {
    harness::ChildOptions options;
    options.argv = {KEX_COMPUTER_PATH, "--release-watchdog"};
    options.env = desktop.env();
    options.stdinFrom = harness::Stream::pipe;
    options.stdoutTo = harness::Stream::pipe;
    options.stderrPath = desktop.newLogPath("watchdog");
    process_ = std::make_unique<harness::ChildProcess>(std::move(options));
  }

  void send(const std::string& line) { ASSERT_TRUE(process_->writeLine(line)); }
  [[nodiscard]] std::optional<char> answer() { return process_->readByte(deadlineIn(kDeadline)); }
  void accept(const std::string& line) {
    send(line);
    EXPECT_EQ(answer(), std::optional<char>(kAccepted)) << line.substr(0, 60);
  }
  // Ends its input as a dying parent does and returns its exit status.
  std::optional<int> finish() {
    process_->closeStdin();
    return process_->waitExit(deadlineIn(kDeadline));
  }
  // The line must end the watchdog without an answer and with status 0.
  void refuse(const std::string& line) {
    send(line);
    EXPECT_EQ(answer(), std::nullopt) << line.substr(0, 60);
    EXPECT_EQ(process_->waitExit(deadlineIn(kDeadline)), std::optional<int>(0));
  }

 private:
  std::unique_ptr<harness::ChildProcess> process_;
};

class WatchdogE2E : public DesktopTest {
 protected:
  void TearDown() override {
    (void)desktop().runTool({"xdotool", "keyup", "a", "keyup", "Shift_L", "mouseup", "1"});
  }

  // Another client holds 'a' down, as a parent that died mid-press would have left it.
  void holdA() {
    ASSERT_EQ(desktop().runTool({"xdotool", "keydown", "a"}).exitStatus, std::optional<int>(0));
    ASSERT_EQ(heldInput(desktop()), std::vector<std::string>{kKeyA});
  }
};

TEST_F(WatchdogE2E, ReleasesTheKeyWithItsModifiersAndTheButtonOfTheLastLine) {
  ASSERT_EQ(desktop()
                .runTool({"xdotool", "mousemove", "70", "80", "keydown", "Shift_L", "keydown", "a",
                          "mousedown", "1"})
                .exitStatus,
            std::optional<int>(0));
  ASSERT_EQ(heldInput(desktop()), (std::vector<std::string>{kKeyA, kShiftL, "button 1"}));
  WatchdogChild watchdog(desktop());
  watchdog.accept("[]");
  watchdog.accept(R"([{"key":true,"code":0,"flags":131072,"x":0,"y":0},)"
                  R"({"key":false,"code":0,"flags":0,"x":70,"y":80}])");
  EXPECT_EQ(heldInput(desktop()).size(), 3u) << "nothing is posted while lines come";
  EXPECT_EQ(watchdog.finish(), std::optional<int>(0));
  EXPECT_TRUE(heldInput(desktop()).empty()) << ::testing::PrintToString(heldInput(desktop()));
  EXPECT_TRUE(xinputDown(desktop()).empty()) << ::testing::PrintToString(xinputDown(desktop()));
}

TEST_F(WatchdogE2E, PostsNothingWhenTheLastLineHeldNothing) {
  holdA();
  WatchdogChild watchdog(desktop());
  watchdog.accept(R"([{"key":true,"code":0}])");
  watchdog.accept("[]");
  EXPECT_EQ(watchdog.finish(), std::optional<int>(0));
  EXPECT_EQ(heldInput(desktop()), std::vector<std::string>{kKeyA});
}

TEST_F(WatchdogE2E, GivenNoInputItExitsAtOnceWithoutPostingOrAnswering) {
  holdA();
  WatchdogChild watchdog(desktop());
  EXPECT_EQ(watchdog.finish(), std::optional<int>(0));
  EXPECT_EQ(watchdog.answer(), std::nullopt);
  EXPECT_EQ(heldInput(desktop()), std::vector<std::string>{kKeyA});
}

TEST_F(WatchdogE2E, LinesOverALimitOrMalformedEndItAfterReleasingTheLastAcceptedSet) {
  struct Case {
    std::string accepted;
    std::string ending;
  };
  const std::vector<Case> cases{
      {paddedKeyLine(8191), paddedKeyLine(8192)},
      {keyRecords(16), keyRecords(17)},
      {keyRecords(1), R"([{"key":true,"code":0})"},
      {keyRecords(1), R"([{"key":true,"code":70000}])"},
      {keyRecords(1), R"([{"key":true,"code":-1}])"},
  };
  for (const Case& each : cases) {
    holdA();
    WatchdogChild watchdog(desktop());
    watchdog.accept(each.accepted);
    watchdog.refuse(each.ending);
    EXPECT_TRUE(heldInput(desktop()).empty()) << each.ending.substr(0, 60);
  }
}

TEST_F(WatchdogE2E, ASecondWatchdogOfTheUserRefusesWithTwo) {
  WatchdogChild first(desktop());
  first.accept("[]");
  WatchdogChild second(desktop());
  EXPECT_EQ(second.answer(), std::optional<char>(kLockRefused));
  EXPECT_EQ(second.finish(), std::optional<int>(0));
  EXPECT_EQ(first.finish(), std::optional<int>(0));
}

}  // namespace
}  // namespace kex::e2e

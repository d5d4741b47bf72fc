// The controller with a real watchdog child: kex_test_watchdog, the release-watchdog mode over a
// poster that logs to a file.
#include "main/safety/watchdog_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "main/safety/control_lock.h"
#include "tests/safety/event_log.h"
#include "tests/safety/safety_fixture.h"
#include "tests/safety/temp_dir.h"

namespace kex::testing {
namespace {

using platform::Event;
using platform::EventType;

constexpr auto kExitLimit = std::chrono::milliseconds(10'000);

std::vector<std::string> readLines(const std::string& path) {
  std::ifstream file(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

// A line of /proc/<pid>/status, such as "SigBlk".
std::string statusField(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field + ":", 0) == 0) {
      std::istringstream words(line.substr(field.size() + 1));
      std::string value;
      words >> value;
      return value;
    }
  }
  return "";
}

// The child's open descriptors and what each names.
std::map<int, std::string> openDescriptors(pid_t pid) {
  std::map<int, std::string> descriptors;
  const std::string directory = "/proc/" + std::to_string(pid) + "/fd";
  DIR* listing = ::opendir(directory.c_str());
  if (listing == nullptr) return descriptors;
  while (const dirent* entry = ::readdir(listing)) {
    if (entry->d_name[0] == '.') continue;
    char target[4096] = {};
    const std::string link = directory + "/" + entry->d_name;
    const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
    descriptors[std::atoi(entry->d_name)] = std::string(target, length > 0 ? length : 0);
  }
  ::closedir(listing);
  return descriptors;
}

class WatchdogProcessTest : public SafetyTest {
 protected:
  void SetUp() override {
    ::setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
    ::setenv("KEX_TEST_WATCHDOG_LOG", log.c_str(), 1);
    ::unsetenv("KEX_TEST_WATCHDOG_SILENT");
  }

  [[nodiscard]] std::string lockPath() const {
    return controlLockPath(runtime.path().c_str(), ::getuid());
  }

  // Options whose watchdogs are real children; the last one started is kept in `child`.
  InputSafetyOptions childOptions() {
    InputSafetyOptions options;
    options.launchWatchdog = [this]() -> std::unique_ptr<WatchdogChannel> {
      auto process = WatchdogProcess::launch(KEX_TEST_WATCHDOG_PATH);
      child = process->pid();
      return process;
    };
    return options;
  }

  TempDir runtime;
  std::string log = runtime.file("posted.log");
  pid_t child = -1;
};

TEST_F(WatchdogProcessTest, ARealChildTakesTheLockAndReleasesTheHeldSetWhenItsInputCloses) {
  auto watchdog = WatchdogProcess::launch(KEX_TEST_WATCHDOG_PATH);
  watchdog->exchange({});
  EXPECT_FALSE(ControlLock::acquire(lockPath(), ::getuid()).has_value()) << "the child holds it";
  watchdog->exchange(
      {keyEvent(EventType::keyUp, 36, 0x20000), pointerEvent(EventType::leftMouseUp, 100, 200)});
  EXPECT_TRUE(readLines(log).empty()) << "nothing is posted while the parent lives";

  EXPECT_EQ(watchdog->closeAndWait(kExitLimit), std::optional<int>(0));
  EXPECT_EQ(readLines(log), (std::vector<std::string>{"keyUp 36 131072", "2 100 200 0",
                                                      "keyUp 36 131072", "2 100 200 0"}));
  EXPECT_TRUE(ControlLock::acquire(lockPath(), ::getuid()).has_value()) << "freed at its end";
}

TEST_F(WatchdogProcessTest, AChildToldThatNothingIsHeldEndsWithoutPosting) {
  auto watchdog = WatchdogProcess::launch(KEX_TEST_WATCHDOG_PATH);
  watchdog->exchange({keyEvent(EventType::keyUp, 36)});
  watchdog->exchange({});
  EXPECT_EQ(watchdog->closeAndWait(kExitLimit), std::optional<int>(0));
  EXPECT_TRUE(readLines(log).empty());
}

TEST_F(WatchdogProcessTest, TheChildStartsWithDefaultSignalsAndOnlyItsOwnDescriptors) {
  // What this process has that the child must not get: blocked termination signals, an ignored
  // SIGPIPE, and a descriptor that is not close-on-exec.
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGHUP);
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  const auto previousPipe = ::signal(SIGPIPE, SIG_IGN);
  const int inheritable = ::open(runtime.file("inheritable").c_str(), O_CREAT | O_WRONLY, 0600);

  auto watchdog = WatchdogProcess::launch(KEX_TEST_WATCHDOG_PATH);
  watchdog->exchange({});
  const pid_t pid = watchdog->pid();
  const std::string blockedInChild = statusField(pid, "SigBlk");
  const std::string ignoredInChild = statusField(pid, "SigIgn");
  const auto descriptors = openDescriptors(pid);

  ::close(inheritable);
  ::signal(SIGPIPE, previousPipe);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);

  EXPECT_EQ(blockedInChild, "0000000000000000");
  // Of the standard signals only SIGPIPE, which the watchdog ignores itself. (The C library
  // keeps its own real-time signals 32 and 33 ignored across posix_spawn.)
  EXPECT_EQ(std::stoull(ignoredInChild, nullptr, 16) & 0x7fffffffULL, 0x1000ULL) << ignoredInChild;
  // Its pipes, /dev/null, and what it opened itself: the lock file and its log of posts.
  ASSERT_EQ(descriptors.size(), 5u);
  EXPECT_EQ(descriptors.at(0).rfind("pipe:", 0), 0u) << descriptors.at(0);
  EXPECT_EQ(descriptors.at(1).rfind("pipe:", 0), 0u) << descriptors.at(1);
  EXPECT_EQ(descriptors.at(2), "/dev/null");
  EXPECT_EQ(descriptors.at(3), lockPath());
  EXPECT_EQ(descriptors.at(4), log);
}

TEST_F(WatchdogProcessTest, ASecondControllerIsBusyUntilTheFirstWatchdogEnds) {
  auto first = WatchdogProcess::launch(KEX_TEST_WATCHDOG_PATH);
  first->exchange({});

  InputSafety second{desktop, gate, childOptions()};
  EXPECT_EQ(failureCode([&] { second.begin(); }), "controller_busy");
  EXPECT_FALSE(second.armed());
  EXPECT_FALSE(second.stopped());

  ASSERT_EQ(first->closeAndWait(kExitLimit), std::optional<int>(0));
  second.begin();
  EXPECT_TRUE(second.armed());
}

TEST_F(WatchdogProcessTest, BadLockFilesMakeEveryBeginBusy) {
  const std::string path = lockPath();
  const auto expectBusy = [&](const char* what) {
    InputSafety safety{desktop, gate, childOptions()};
    EXPECT_EQ(failureCode([&] { safety.begin(); }), "controller_busy") << what;
    EXPECT_EQ(failureCode([&] { safety.begin(); }), "controller_busy") << what;
    EXPECT_FALSE(safety.armed()) << what;
  };
  ::close(::open(path.c_str(), O_CREAT | O_WRONLY, 0600));
  ::chmod(path.c_str(), 0644);
  expectBusy("mode 0644");
  ::unlink(path.c_str());

  const std::string target = runtime.file("elsewhere");
  ::close(::open(target.c_str(), O_CREAT | O_WRONLY, 0600));
  ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
  expectBusy("a symbolic link");
  ::unlink(path.c_str());

  ASSERT_EQ(::link(target.c_str(), path.c_str()), 0);
  expectBusy("a second hard link");
  ::unlink(path.c_str());

  InputSafety safety{desktop, gate, childOptions()};
  safety.begin();
  EXPECT_TRUE(safety.armed());
}

TEST_F(WatchdogProcessTest, AKilledWatchdogStopsControlAtTheNextExchange) {
  InputSafety safety{desktop, gate, childOptions()};
  safety.begin();
  ASSERT_GT(child, 0);
  ::kill(child, SIGKILL);
  // The press is refused, by a write to a closed pipe or a missing answer; never posted.
  bool refused = false;
  try {
    safety.post(keyEvent(EventType::keyDown, 0), keyEvent(EventType::keyUp, 0), 0);
  } catch (const Failure& failure) {
    refused = failure.code == codes::inputWatchdogLost;
  } catch (const platform::PlatformError&) {
    refused = true;
  }
  EXPECT_TRUE(refused);
  EXPECT_TRUE(desktop.heldKeys().empty());
  safety.release();
  EXPECT_EQ(safety.stopReason(), "input_watchdog_lost");
  EXPECT_TRUE(safety.stopped());
}

TEST_F(WatchdogProcessTest, AWatchdogThatNeverAnswersIsLostAndStaysLost) {
  ::setenv("KEX_TEST_WATCHDOG_SILENT", "1", 1);
  auto watchdog = WatchdogProcess::launch(KEX_TEST_WATCHDOG_PATH);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(failureCode([&] { watchdog->exchange({}); }), "input_watchdog_lost");
  EXPECT_GE(std::chrono::steady_clock::now() - started, WatchdogProcess::kAnswerLimit);
  EXPECT_EQ(failureCode([&] { watchdog->exchange({}); }), "input_watchdog_lost");
  ::kill(watchdog->pid(), SIGKILL);
}

TEST_F(WatchdogProcessTest, AProgramThatCannotBeStartedIsAPlatformError) {
  EXPECT_THROW((void)WatchdogProcess::launch(runtime.file("no-such-program")),
               platform::PlatformError);
}

}  // namespace
}  // namespace kex::testing

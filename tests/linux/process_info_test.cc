#include "platform/linux/x11/process_info.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

extern char** environ;

namespace kex::platform::x11 {
namespace {

// A child process whose command name holds blanks and parentheses, as /proc/PID/stat shows it.
class OddlyNamedChild {
 public:
  OddlyNamedChild() {
    directory_ = std::filesystem::temp_directory_path() / ("kex-proc-" + std::to_string(getpid()));
    std::filesystem::create_directories(directory_);
    link_ = directory_ / "a) b (c";
    std::filesystem::remove(link_);
    std::filesystem::create_symlink("/bin/sleep", link_);
    const std::string path = link_.string();
    char* argv[] = {const_cast<char*>(path.c_str()), const_cast<char*>("30"), nullptr};
    if (posix_spawn(&pid_, path.c_str(), nullptr, nullptr, argv, environ) != 0) pid_ = 0;
  }
  ~OddlyNamedChild() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    std::filesystem::remove_all(directory_);
  }
  OddlyNamedChild(const OddlyNamedChild&) = delete;
  OddlyNamedChild& operator=(const OddlyNamedChild&) = delete;

  [[nodiscard]] pid_t pid() const { return pid_; }

 private:
  std::filesystem::path directory_;
  std::filesystem::path link_;
  pid_t pid_ = 0;
};

std::uint64_t secondsNow() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                        std::chrono::system_clock::now().time_since_epoch())
                                        .count());
}

TEST(ProcessInfo, ReadsTheOwnerAndAStartTimeOfTheWallClock) {
  const auto before = secondsNow();
  OddlyNamedChild child;
  ASSERT_GT(child.pid(), 0);
  const auto record = readProcessRecord(child.pid());
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->userId, getuid());
  EXPECT_LT(record->startMicroseconds, 1'000'000u);
  // The kernel counts in clock ticks from a boot time given in whole seconds.
  EXPECT_GE(record->startSeconds + 2, before);
  EXPECT_LE(record->startSeconds, secondsNow() + 2);
}

TEST(ProcessInfo, ALaterProcessStartsLaterAndTheSameProcessReadsTheSame) {
  const auto self = readProcessRecord(getpid());
  OddlyNamedChild child;
  const auto first = readProcessRecord(child.pid());
  const auto again = readProcessRecord(child.pid());
  ASSERT_TRUE(self && first && again);
  const auto key = [](const ProcessRecord& r) {
    return r.startSeconds * 1'000'000 + r.startMicroseconds;
  };
  EXPECT_GE(key(*first), key(*self));
  EXPECT_EQ(key(*first), key(*again));
}

TEST(ProcessInfo, KnowsNothingOfAProcessThatIsGone) {
  pid_t pid = 0;
  {
    OddlyNamedChild child;
    pid = child.pid();
  }
  EXPECT_FALSE(readProcessRecord(pid).has_value());
  EXPECT_FALSE(executablePath(pid).has_value());
}

TEST(ProcessInfo, NamesTheExecutableByItsAbsolutePath) {
  const auto path = executablePath(getpid());
  ASSERT_TRUE(path.has_value());
  EXPECT_EQ(*path, std::filesystem::read_symlink("/proc/self/exe").string());
  OddlyNamedChild child;
  EXPECT_EQ(executablePath(child.pid()), std::filesystem::canonical("/bin/sleep").string());
}

// A copy of /bin/sleep under the given name in a directory of its own, run until the end.
class CopiedProgram {
 public:
  explicit CopiedProgram(const std::string& name) {
    directory_ = std::filesystem::temp_directory_path() / ("kex-exe-" + std::to_string(getpid()));
    std::filesystem::create_directories(directory_);
    path_ = directory_ / name;
    std::filesystem::copy_file("/bin/sleep", path_,
                               std::filesystem::copy_options::overwrite_existing);
    const std::string program = path_.string();
    char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>("30"), nullptr};
    if (posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv, environ) != 0) pid_ = 0;
  }
  ~CopiedProgram() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    std::filesystem::remove_all(directory_);
  }
  CopiedProgram(const CopiedProgram&) = delete;
  CopiedProgram& operator=(const CopiedProgram&) = delete;

  [[nodiscard]] pid_t pid() const { return pid_; }
  [[nodiscard]] const std::filesystem::path& path() const { return path_; }

  // What a package upgrade does: the new file is written beside the old and renamed over it.
  void replace() const {
    const auto next = directory_ / "next";
    std::filesystem::copy_file("/bin/sleep", next);
    std::filesystem::rename(next, path_);
  }

 private:
  std::filesystem::path directory_;
  std::filesystem::path path_;
  pid_t pid_ = 0;
};

TEST(ProcessInfo, NamesAProgramUpgradedWhileRunningByThePathItStartedFrom) {
  CopiedProgram program("polkit-gnome-authentication-agent-1");
  ASSERT_GT(program.pid(), 0);
  program.replace();
  // The kernel now says the running file is gone.
  const auto link =
      std::filesystem::read_symlink("/proc/" + std::to_string(program.pid()) + "/exe");
  ASSERT_EQ(link.string(), program.path().string() + " (deleted)");
  EXPECT_EQ(executablePath(program.pid()), program.path().string());
  std::filesystem::remove(program.path());
  EXPECT_EQ(executablePath(program.pid()), program.path().string());
}

TEST(ProcessInfo, KeepsAFileNameThatReallyEndsAsTheKernelMarksRemovedFiles) {
  CopiedProgram program("agent (deleted)");
  ASSERT_GT(program.pid(), 0);
  EXPECT_EQ(executablePath(program.pid()), program.path().string());
}

}  // namespace
}  // namespace kex::platform::x11

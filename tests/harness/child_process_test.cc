// The child processes every end-to-end test, kex-confirm's tests, the demo and the benchmarks
// start: what a child is given, when its program runs, and how it is read and ended.
#include "tools/harness/child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace kex::harness {
namespace {

using namespace std::chrono_literals;

constexpr auto kDeadline = 10s;

ChildOptions shell(const std::string& script) {
  return {.argv = {"/bin/sh", "-c", script}, .stdoutTo = Stream::pipe, .stderrTo = Stream::pipe};
}

Ending run(ChildOptions options) {
  ChildProcess child(std::move(options));
  return child.finish(deadlineIn(kDeadline));
}

std::string executableOf(pid_t process) {
  return std::filesystem::read_symlink("/proc/" + std::to_string(process) + "/exe").string();
}

std::string contentsOf(const std::string& path) {
  std::ifstream file(path);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

TEST(ChildProcess, FinishCollectsBothOutputsApartWithTheExitCode) {
  const Ending ending = run(shell("echo out; echo err >&2; exit 3"));
  EXPECT_EQ(ending.exitStatus, std::optional<int>(3));
  EXPECT_EQ(ending.output, "out\n");
  EXPECT_EQ(ending.errors, "err\n");
}

TEST(ChildProcess, ChildEndedBySignalReportsItAsShellsDo) {
  EXPECT_EQ(run(shell("kill -TERM $$")).exitStatus, std::optional<int>(128 + SIGTERM));
}

TEST(ChildProcess, ProgramThatCannotRunFailsTheStart) {
  EXPECT_THROW(ChildProcess({.argv = {"/nonexistent/kex-program"}}), std::runtime_error);
  EXPECT_THROW(ChildProcess({.argv = {"/etc/passwd"}}), std::runtime_error);
  EXPECT_THROW(ChildProcess({.argv = {}}), std::runtime_error);
}

TEST(ChildProcess, BareProgramNameIsLookedUpInTheChildsPath) {
  const Ending found = run(
      {.argv = {"echo", "found"}, .env = {{"PATH", "/usr/bin:/bin"}}, .stdoutTo = Stream::pipe});
  EXPECT_EQ(found.output, "found\n");
  EXPECT_THROW(ChildProcess({.argv = {"echo"}, .env = {{"PATH", "/nonexistent"}}}),
               std::runtime_error);
}

TEST(ChildProcess, EmptyEnvironmentBaseGivesTheChildOnlyTheChanges) {
  const Ending ending = run({.argv = {"/usr/bin/env"},
                             .env = {{"KEX_ONE", "1"}, {"KEX_TWO", "2"}},
                             .envBase = EnvBase::empty,
                             .stdoutTo = Stream::pipe});
  EXPECT_EQ(ending.output, "KEX_ONE=1\nKEX_TWO=2\n");
}

TEST(ChildProcess, InheritedEnvironmentKeepsOursBarWhatIsUnset) {
  ::setenv("KEX_KEPT", "kept", 1);
  ::setenv("KEX_UNSET", "set", 1);
  ChildOptions options = shell("echo \"$KEX_KEPT ${KEX_UNSET-unset}\"");
  options.env = {{"KEX_UNSET", std::nullopt}};
  EXPECT_EQ(run(std::move(options)).output, "kept unset\n");
}

TEST(ChildProcess, StandardInputReachesTheChildAndItsEndIsSeen) {
  ChildOptions options = shell("while read -r line; do echo \"got $line\"; done; echo done");
  options.stdinFrom = Stream::pipe;
  ChildProcess child(std::move(options));
  ASSERT_TRUE(child.writeLine("one"));
  EXPECT_EQ(child.readLine(deadlineIn(kDeadline)), std::optional<std::string>("got one"));
  child.closeStdin();
  EXPECT_EQ(child.readLine(deadlineIn(kDeadline)), std::optional<std::string>("done"));
  EXPECT_FALSE(child.writeLine("too late"));
}

TEST(ChildProcess, ReadLineGivesLinesInOrderThenNothingOnceOutputEnds) {
  ChildProcess child(shell("printf 'one\\ntwo\\nunfinished'"));
  EXPECT_EQ(child.readLine(deadlineIn(kDeadline)), std::optional<std::string>("one"));
  EXPECT_EQ(child.readLine(deadlineIn(kDeadline)), std::optional<std::string>("two"));
  EXPECT_EQ(child.readLine(deadlineIn(kDeadline)), std::nullopt);
  EXPECT_TRUE(child.outputEnded());
}

TEST(ChildProcess, ReadLineGivesUpAtTheDeadline) {
  ChildProcess child(shell("exec sleep 60"));
  EXPECT_EQ(child.readLine(deadlineIn(50ms)), std::nullopt);
  EXPECT_FALSE(child.outputEnded());
}

// A child that fills the pipe before it exits would never exit if waiting did not read.
TEST(ChildProcess, WaitingForTheExitKeepsReadingSoAChattyChildCanEnd) {
  ChildProcess child(shell("head -c 300000 /dev/zero | tr '\\000' x; echo; exit 4"));
  EXPECT_EQ(child.waitExit(deadlineIn(kDeadline)), std::optional<int>(4));
  const std::optional<std::string> line = child.readLine(deadlineIn(kDeadline));
  ASSERT_TRUE(line);
  EXPECT_EQ(line->size(), 300000u);
}

TEST(ChildProcess, OutputsGoToTheNamedFilesAndInputReadsNothing) {
  const std::string folder = ::testing::TempDir();
  const std::string output = folder + "/kex-child-output";
  const std::string errors = folder + "/kex-child-errors";
  std::ofstream(output) << "old contents that must go\n";
  const Ending ending = run({.argv = {"/bin/sh", "-c", "cat; echo out; echo err >&2"},
                             .stdoutPath = output,
                             .stderrPath = errors});
  EXPECT_EQ(ending.exitStatus, std::optional<int>(0));
  EXPECT_EQ(contentsOf(output), "out\n");
  EXPECT_EQ(contentsOf(errors), "err\n");
  std::filesystem::remove(output);
  std::filesystem::remove(errors);
}

// The X server and the buses announce themselves on a descriptor they are given; anything else
// this process has open must not leak into a child.
TEST(ChildProcess, ChildKeepsOnlyTheDescriptorsItIsGiven) {
  int given[2];
  int other[2];
  ASSERT_EQ(::pipe2(given, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe(other), 0);
  ChildOptions options = shell("echo given >&" + std::to_string(given[1]) + "; { echo other >&" +
                               std::to_string(other[1]) + "; } 2>/dev/null || echo closed");
  options.inheritedFds = {given[1]};
  const Ending ending = run(std::move(options));
  ::close(given[1]);
  ::close(other[1]);
  char announced[16] = {};
  EXPECT_EQ(::read(given[0], announced, sizeof announced - 1), 6);
  EXPECT_STREQ(announced, "given\n");
  EXPECT_EQ(ending.output, "closed\n");
  ::close(given[0]);
  ::close(other[0]);
}

// kex-confirm's tests hand the pid to an authentication agent before kex-confirm may start.
TEST(ChildProcess, HeldChildRunsItsProgramOnlyOnceReleased) {
  ChildOptions options = shell("echo ran");
  options.start = Start::held;
  ChildProcess child(std::move(options));
  EXPECT_EQ(executableOf(child.pid()), executableOf(::getpid()));
  child.release();
  const Ending ending = child.finish(deadlineIn(kDeadline));
  EXPECT_EQ(ending.exitStatus, std::optional<int>(0));
  EXPECT_EQ(ending.output, "ran\n");
}

TEST(ChildProcess, HeldChildThatCannotRunFailsAtRelease) {
  ChildProcess child({.argv = {"/nonexistent/kex-program"}, .start = Start::held});
  EXPECT_THROW(child.release(), std::runtime_error);
}

TEST(ChildProcess, ChildRunsAsTheAccountItIsGiven) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can start a child as another user";
  ChildOptions options = shell("id -u; id -g; id -G");
  options.account = Account{65534, 65534};
  EXPECT_EQ(run(std::move(options)).output, "65534\n65534\n65534\n");
}

TEST(ChildProcess, FinishKillsAChildThatOutlivesTheDeadline) {
  ChildProcess child({.argv = {"sleep", "60"}});
  EXPECT_EQ(child.finish(deadlineIn(50ms)).exitStatus, std::nullopt);
  EXPECT_TRUE(child.hasExited());
}

TEST(ChildProcess, TerminateAlsoEndsWhatTheChildStartedAndKeepsWhatItWrote) {
  ChildProcess child(shell("echo bye >&2; sleep 60 & echo $!; wait"));
  const std::optional<std::string> started = child.readLine(deadlineIn(kDeadline));
  ASSERT_TRUE(started);
  const pid_t grandchild = std::stoi(*started);
  const Ending ending = child.terminate();
  EXPECT_EQ(ending.exitStatus, std::optional<int>(128 + SIGTERM));
  EXPECT_EQ(ending.errors, "bye\n");
  EXPECT_NE(::kill(grandchild, 0), 0) << "the child's own child outlived it";
}

}  // namespace
}  // namespace kex::harness

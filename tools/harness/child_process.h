// Child processes that tests, the demo and the benchmarks start and must end.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/harness/deadline.h"

namespace kex::harness {

// Changes to the environment a child starts from: a value sets the variable, nothing unsets it.
using EnvChanges = std::map<std::string, std::optional<std::string>>;

// What a child's environment starts from before the changes apply.
enum class EnvBase {
  inherited,  // this process's own environment
  empty,      // nothing: the changes are the whole environment
};

// Where one of a child's standard streams leads.
enum class Stream {
  // The file at the path given beside it, created or truncated; /dev/null when the path is empty.
  // Standard input has no path: it reads /dev/null.
  file,
  // A pipe to the ChildProcess: standard input is written with writeLine(), standard output read
  // with readLine(), and both outputs are collected by finish() and terminate().
  pipe,
  // The caller's own.
  inherit,
};

// When the program runs.
enum class Start {
  now,
  // The child exists, so its pid is known, but runs the program only at release(): the pid can
  // be handed to someone (an authentication agent) who must be ready before the program starts.
  held,
};

// A user the child becomes before it runs its program (needs root).
struct Account {
  uid_t uid;
  gid_t gid;
};

struct ChildOptions {
  // argv[0] is looked up in the child's PATH when it holds no slash.
  std::vector<std::string> argv = {};
  EnvChanges env = {};
  EnvBase envBase = EnvBase::inherited;
  Stream stdinFrom = Stream::file;
  Stream stdoutTo = Stream::file;
  std::string stdoutPath = {};
  Stream stderrTo = Stream::file;
  std::string stderrPath = {};
  // Descriptors the child keeps under the same number (for -displayfd, --print-address); every
  // other descriptor beyond the standard three is closed in the child.
  std::vector<int> inheritedFds = {};
  std::optional<Account> account = {};
  Start start = Start::now;
};

// How a child ended, and what it wrote to the streams that were piped.
struct Ending {
  // The exit code, or 128 plus the signal number for a child ended by a signal (as shells report
  // it); nothing when the child outlived the deadline and had to be killed.
  std::optional<int> exitStatus;
  std::string output;
  std::string errors;
};

// A started program, ended by its pid when this object goes. Each child leads its own process
// group, so that what it starts in turn (activated bus services) can be ended with it.
// Not thread-safe: one thread drives it.
class ChildProcess {
 public:
  // Throws std::runtime_error when the program cannot be started (for a held child, release()
  // does).
  explicit ChildProcess(ChildOptions options);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  [[nodiscard]] pid_t pid() const { return pid_; }
  [[nodiscard]] const std::string& program() const { return program_; }

  // Lets a held child run its program. Throws std::runtime_error when it cannot.
  void release();

  // Writes all the bytes to standard input; false once the child has closed it.
  bool writeRaw(std::string_view bytes);
  // Writes the line and a line feed.
  bool writeLine(std::string_view line);
  void closeStdin();

  // The next complete line of standard output without its line feed; nothing at the deadline
  // or at end of output.
  [[nodiscard]] std::optional<std::string> readLine(Deadline deadline);
  // The next byte of standard output, whether or not a line ends there; nothing at the deadline
  // or at end of output.
  [[nodiscard]] std::optional<char> readByte(Deadline deadline);
  [[nodiscard]] bool outputEnded() const { return stdoutFd_ < 0; }

  // Sends a signal to the child (not its group); false once it has been reaped.
  bool signal(int signo);

  // The exit status once the child has ended, by the deadline.
  [[nodiscard]] std::optional<int> waitExit(Deadline deadline);
  [[nodiscard]] bool hasExited() const { return exitStatus_.has_value(); }

  // Collects the piped outputs until the child closes them, then waits for it to end; kills it
  // if the deadline comes first.
  [[nodiscard]] Ending finish(Deadline deadline);
  // SIGTERM, then SIGKILL if the child has not ended within the grace period; reaps it, sweeps
  // what is left of its process group and returns what it wrote.
  Ending terminate(Clock::duration grace = std::chrono::seconds(3));

 private:
  void confirmStart();
  void abandon();
  void closeDescriptors();
  bool awaitActivity(Deadline deadline);
  bool tryReap();
  void killNow();
  void sweepProcessGroup();
  [[nodiscard]] Ending takeEnding();

  std::string program_;
  pid_t pid_ = -1;
  int pidFd_ = -1;
  int stdinFd_ = -1;
  int stdoutFd_ = -1;
  int stderrFd_ = -1;
  // Written (one byte) to let a held child go.
  int releaseFd_ = -1;
  // Holds the errno of a child that could not run its program; closes unread once it has.
  int startReportFd_ = -1;
  std::string output_;
  std::string errors_;
  std::optional<int> exitStatus_;
};

// Runs a command line tool to its end (standard error to /dev/null).
[[nodiscard]] Ending runTool(const std::vector<std::string>& argv, const EnvChanges& env,
                             Deadline deadline);

}  // namespace kex::harness

// Child processes that a test, the demo or the benchmark starts and must end.
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/harness/deadline.h"

namespace kex::harness {

// Changes to the environment a child inherits: a value sets the variable, nothing unsets it.
using EnvChanges = std::map<std::string, std::optional<std::string>>;

struct ChildOptions {
  // argv[0] is looked up in PATH when it holds no slash.
  std::vector<std::string> argv;
  EnvChanges env;
  bool pipeStdin = false;
  bool pipeStdout = false;
  // Where standard output goes when it is not piped, and where standard error goes; empty means
  // /dev/null. Files are created or truncated.
  std::string stdoutPath;
  std::string stderrPath;
  // Standard error stays the caller's own instead (stderrPath is then ignored).
  bool inheritStderr = false;
  // Descriptors the child keeps under the same number (for -displayfd, --print-address).
  std::vector<int> inheritedFds;
};

// A started program, ended by its pid when this object goes. Each child leads its own process
// group, so that what it starts in turn (activated bus services) can be ended with it.
// Not thread-safe: one thread drives it.
class ChildProcess {
 public:
  // Throws std::runtime_error when the program cannot be started.
  explicit ChildProcess(ChildOptions options);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  [[nodiscard]] pid_t pid() const { return pid_; }
  [[nodiscard]] const std::string& program() const { return program_; }

  // Writes all the bytes to standard input; false once the child has closed it.
  bool writeRaw(std::string_view bytes);
  // Writes the line and a line feed.
  bool writeLine(std::string_view line);
  void closeStdin();

  // The next complete line of standard output without its line feed; nothing at the deadline
  // or at end of output.
  [[nodiscard]] std::optional<std::string> readLine(Deadline deadline);
  // Everything left on standard output up to its end, or up to the deadline.
  [[nodiscard]] std::string readToEnd(Deadline deadline);
  // Bytes received after the last line feed and not yet returned.
  [[nodiscard]] const std::string& pendingOutput() const { return buffer_; }
  [[nodiscard]] bool outputEnded() const { return outputEnded_; }

  // Sends a signal to the child (not its group); false once it has been reaped.
  bool signal(int signo);

  // The exit status once the child has ended, by the deadline: the exit code, or 128 plus the
  // signal number for a child ended by a signal (as shells report it).
  [[nodiscard]] std::optional<int> waitExit(Deadline deadline);
  [[nodiscard]] bool hasExited() const { return exitStatus_.has_value(); }

  // SIGTERM, then SIGKILL if the child has not ended within the grace period; reaps it and
  // sweeps what is left of its process group.
  int terminate(Clock::duration grace = std::chrono::seconds(3));

 private:
  bool fillBuffer(Deadline deadline);
  bool tryReap();
  void sweepProcessGroup();

  std::string program_;
  pid_t pid_ = -1;
  int pidFd_ = -1;
  int stdinFd_ = -1;
  int stdoutFd_ = -1;
  std::string buffer_;
  bool outputEnded_ = false;
  std::optional<int> exitStatus_;
};

struct ToolResult {
  std::optional<int> exitStatus;  // nothing when the tool outlived the deadline and was killed
  std::string output;             // its standard output
};

// Runs a command line tool to its end (standard error to /dev/null).
[[nodiscard]] ToolResult runTool(const std::vector<std::string>& argv, const EnvChanges& env,
                                 Deadline deadline);

}  // namespace kex::harness

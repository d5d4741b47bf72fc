// The programs kex-mcp starts: kex-computer, with a pipe each way, and kex-confirm, whose
// answer is read from its output.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kex::mcp {

using SteadyClock = std::chrono::steady_clock;
using Deadline = SteadyClock::time_point;

// Changes to the environment a child inherits: a value sets the variable, nothing unsets it.
using EnvironmentChanges = std::map<std::string, std::optional<std::string>>;

enum class InputPipe { none, pipe };   // none: /dev/null
enum class OutputPipe { none, pipe };  // none: standard error, never the protocol's output

struct SpawnOptions {
  std::vector<std::string> argv;  // argv[0] is a path, or a name looked up in PATH
  EnvironmentChanges environment;
  InputPipe input = InputPipe::none;
  OutputPipe output = OutputPipe::none;
};

// Thrown when a program cannot be started; what() says why.
class SpawnError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class ReadOutcome { line, ended, timedOut, woken };
enum class Ending { closeInputFirst, signalFirst };

// One started program. Standard error is kex-mcp's own; the child gets nothing else of ours:
// no protocol descriptor, default signal handling, an empty signal mask. Destroying it ends
// the program (see terminate()). One thread drives it.
class ChildProcess {
 public:
  explicit ChildProcess(const SpawnOptions& options);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  [[nodiscard]] pid_t pid() const { return pid_; }

  // Writes all of it; false once the child no longer reads its input.
  [[nodiscard]] bool write(std::string_view bytes);
  void closeInput();

  // The next line of output, without its line feed, in `line`. Ends early when `wakeFd` (if
  // not negative) becomes readable.
  [[nodiscard]] ReadOutcome readLine(std::string& line, Deadline deadline, int wakeFd = -1);

  // The exit status once the program has ended, by the deadline or until `wakeFd` becomes
  // readable: the exit code, or 128 plus the number of the signal that ended it.
  [[nodiscard]] std::optional<int> waitExit(Deadline deadline, int wakeFd = -1);
  [[nodiscard]] std::optional<int> exitStatus() const { return exitStatus_; }

  // Ends the program and returns its exit status. closeInputFirst closes its input and gives it
  // the grace period to end on its own (kex-computer then releases whatever it holds and
  // exits); then, or at once with signalFirst, SIGTERM, and SIGKILL after another grace period.
  int terminate(Ending ending = Ending::closeInputFirst,
                SteadyClock::duration grace = std::chrono::seconds(2));

 private:
  bool tryReap();
  bool fill(Deadline deadline, int wakeFd, ReadOutcome& outcome);

  pid_t pid_ = -1;
  int pidFd_ = -1;
  int inputFd_ = -1;
  int outputFd_ = -1;
  std::string buffer_;
  std::size_t scanned_ = 0;  // bytes of buffer_ known to hold no line feed
  bool outputEnded_ = false;
  std::optional<int> exitStatus_;
};

}  // namespace kex::mcp

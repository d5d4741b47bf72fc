// Processes kex-confirm's tests start (kex-confirm itself, the test agent, a system bus) and
// must end by their pid.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kex::confirm::test {

// The moment a wait gives up; every wait in these tests has one instead of a fixed sleep.
class Deadline {
 public:
  explicit Deadline(std::chrono::milliseconds budget)
      : end_(std::chrono::steady_clock::now() + budget) {}
  // For poll(2): never negative, so an overdue deadline still polls once without blocking.
  [[nodiscard]] int remainingMilliseconds() const;
  [[nodiscard]] bool passed() const { return std::chrono::steady_clock::now() >= end_; }

 private:
  std::chrono::steady_clock::time_point end_;
};

// A user the child becomes before it runs its program.
struct Account {
  uid_t uid;
  gid_t gid;
};

struct Launch {
  // An absolute path first; there is no PATH lookup.
  std::vector<std::string> argv = {};
  // The whole environment, as NAME=value; nothing is inherited.
  std::vector<std::string> environment = {};
  std::optional<Account> account = {};
  // The child waits for release() before it runs the program, so that its pid can be handed to
  // someone (an authentication agent) who must be ready before the program starts.
  bool held = false;
  // Standard error goes to /dev/null instead of being collected.
  bool discardErrors = false;
};

struct Ending {
  // The exit code, or 128 plus the signal number; nothing if the child had to be killed at the
  // deadline.
  std::optional<int> status;
  std::string output;
  std::string errors;
};

// A descriptor that becomes readable when the process ends (pidfd_open(2)); -1 on failure.
int openProcessHandle(pid_t process);

// One started program, killed and reaped by its pid when this object goes if it has not ended.
// Test thread only.
class ChildProcess {
 public:
  // Throws std::runtime_error when the program cannot be started.
  explicit ChildProcess(const Launch& launch);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  [[nodiscard]] pid_t pid() const { return pid_; }

  // Lets a held child run its program.
  void release();
  void writeInput(std::string_view text);
  void closeInput();
  void sendSignal(int signal);

  // The next line of standard output without its line feed; nothing at the deadline or at the
  // end of output.
  [[nodiscard]] std::optional<std::string> readLine(const Deadline& deadline);

  // Collects output until the child closes it, then its exit status; kills it if the deadline
  // comes first.
  [[nodiscard]] Ending finish(const Deadline& deadline);
  // SIGTERM, then the same as finish().
  [[nodiscard]] Ending terminate(const Deadline& deadline);

 private:
  void drainUntilClosed(const Deadline& deadline);
  bool readSome(int& fd, std::string& into);
  std::optional<int> waitForExit(const Deadline& deadline);
  void killAndReap();

  pid_t pid_ = -1;
  int pidFd_ = -1;
  int input_ = -1;
  int output_ = -1;
  int errors_ = -1;
  std::string outputBuffer_;
  std::string errorBuffer_;
  std::optional<int> status_;
};

}  // namespace kex::confirm::test

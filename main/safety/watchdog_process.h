// The parent's end of a running release watchdog: a child process and the two pipes to it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "main/safety/watchdog_channel.h"

namespace kex {

// Used under the input-safety controller's lock only, so one thread at a time.
class WatchdogProcess final : public WatchdogChannel {
 public:
  // How long an exchange waits for the child's answer.
  static constexpr std::chrono::milliseconds kAnswerLimit{1000};

  // Starts `program --release-watchdog` with its standard input and output on two new pipes,
  // standard error on /dev/null, no other descriptor of this process, the default signal mask
  // and default signal dispositions. Throws platform::PlatformError when it cannot be started.
  [[nodiscard]] static std::unique_ptr<WatchdogProcess> launch(const std::string& program);

  // Closes both pipes (the child then releases what it holds and exits) and reaps the child if it
  // has ended; a child still ending is reaped by a later launch.
  ~WatchdogProcess() override;
  WatchdogProcess(const WatchdogProcess&) = delete;
  WatchdogProcess& operator=(const WatchdogProcess&) = delete;

  // One exchange: writes the held-input line, then waits up to kAnswerLimit for the answer byte.
  // Throws Failure "controller_busy" (byte 2, also when the child refused the lock and ended
  // before the line could be written), "input_watchdog_lost" (no answer in time, end of output,
  // any other byte, or an earlier exchange that failed), or platform::PlatformError when the line
  // cannot be written and no answer waits. After any failure every later exchange fails with
  // "input_watchdog_lost": a late answer must never be taken for the answer to a newer line.
  void exchange(const std::vector<platform::Event>& held) override;

  [[nodiscard]] pid_t pid() const { return pid_; }

  // Closes the child's input and waits for it to end: its exit status (128 plus the signal number
  // when a signal ended it), or nothing at the deadline. For tests and tools.
  [[nodiscard]] std::optional<int> closeAndWait(std::chrono::milliseconds limit);

 private:
  WatchdogProcess(pid_t pid, int input, int output) : pid_(pid), input_(input), output_(output) {}

  void writeLine(const std::string& line);
  void awaitAnswer();
  // The child's next byte if one comes within the limit.
  [[nodiscard]] std::optional<char> readAnswer(std::chrono::milliseconds limit);
  void closePipes();

  pid_t pid_;
  int input_;   // write end of the child's standard input
  int output_;  // read end of the child's standard output
  bool lost_ = false;
  bool reaped_ = false;
};

}  // namespace kex

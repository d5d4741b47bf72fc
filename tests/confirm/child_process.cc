#include "child_process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace kex::confirm::test {

namespace {

void closeQuietly(int& fd) {
  if (fd < 0) return;
  close(fd);
  fd = -1;
}

struct Pipe {
  int readEnd = -1;
  int writeEnd = -1;
};

Pipe makePipe() {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  return {ends[0], ends[1]};
}

std::vector<char*> pointersTo(const std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (const std::string& text : strings) pointers.push_back(const_cast<char*>(text.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

int decodeStatus(int waitStatus) {
  if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
  return 128 + WTERMSIG(waitStatus);
}

// Runs in the forked child of a possibly multithreaded test, so only async-signal-safe calls.
[[noreturn]] void becomeProgram(const Launch& launch, char* const* argv, char* const* envp,
                                int input, int output, int errors) {
  if (dup2(input, STDIN_FILENO) < 0 || dup2(output, STDOUT_FILENO) < 0 ||
      dup2(errors, STDERR_FILENO) < 0) {
    _exit(124);
  }
  close_range(3, ~0U, 0);
  // The test ignores SIGPIPE, and ignored signals would stay ignored across exec.
  signal(SIGPIPE, SIG_DFL);
  if (launch.account) {
    const gid_t gid = launch.account->gid;
    if (setgroups(1, &gid) != 0 || setgid(gid) != 0 || setuid(launch.account->uid) != 0) {
      _exit(125);
    }
  }
  if (launch.held) {
    char go = 0;
    if (read(STDIN_FILENO, &go, 1) != 1) _exit(126);
  }
  execve(argv[0], argv, envp);
  _exit(127);
}

}  // namespace

// glibc's own wrapper lacks C linkage in its C++ header on Debian 12.
int openProcessHandle(pid_t process) {
  return static_cast<int>(syscall(SYS_pidfd_open, process, 0));
}

int Deadline::remainingMilliseconds() const {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      end_ - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

ChildProcess::ChildProcess(const Launch& launch) {
  if (launch.argv.empty() || !launch.argv.front().starts_with('/')) {
    throw std::runtime_error("a child needs an absolute program path");
  }
  // A child that has gone must show up as a failed write, not end the test with SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  const std::vector<char*> argv = pointersTo(launch.argv);
  const std::vector<char*> envp = pointersTo(launch.environment);
  Pipe input = makePipe();
  Pipe output = makePipe();
  Pipe errors = launch.discardErrors ? Pipe{} : makePipe();
  if (launch.discardErrors) errors.writeEnd = open("/dev/null", O_WRONLY | O_CLOEXEC);

  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    becomeProgram(launch, argv.data(), envp.data(), input.readEnd, output.writeEnd,
                  errors.writeEnd);
  }
  closeQuietly(input.readEnd);
  closeQuietly(output.writeEnd);
  closeQuietly(errors.writeEnd);
  input_ = input.writeEnd;
  output_ = output.readEnd;
  errors_ = errors.readEnd;
  pidFd_ = openProcessHandle(pid_);
  if (pidFd_ < 0) {
    killAndReap();
    throw std::runtime_error("pidfd_open failed");
  }
}

ChildProcess::~ChildProcess() {
  if (!status_) killAndReap();
  closeQuietly(input_);
  closeQuietly(output_);
  closeQuietly(errors_);
  closeQuietly(pidFd_);
}

void ChildProcess::release() {
  writeInput("!");
  closeInput();
}

void ChildProcess::writeInput(std::string_view text) {
  while (!text.empty() && input_ >= 0) {
    const ssize_t written = write(input_, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return closeInput();
    text.remove_prefix(static_cast<size_t>(written));
  }
}

void ChildProcess::closeInput() { closeQuietly(input_); }

void ChildProcess::sendSignal(int signal) {
  if (!status_) kill(pid_, signal);
}

std::optional<std::string> ChildProcess::readLine(const Deadline& deadline) {
  for (;;) {
    const size_t end = outputBuffer_.find('\n');
    if (end != std::string::npos) {
      std::string line = outputBuffer_.substr(0, end);
      outputBuffer_.erase(0, end + 1);
      return line;
    }
    if (output_ < 0) return std::nullopt;
    pollfd ready{output_, POLLIN, 0};
    if (poll(&ready, 1, deadline.remainingMilliseconds()) == 0) return std::nullopt;
    readSome(output_, outputBuffer_);
  }
}

// False once the descriptor is at its end (and closed).
bool ChildProcess::readSome(int& fd, std::string& into) {
  char chunk[4096];
  const ssize_t got = read(fd, chunk, sizeof chunk);
  if (got < 0 && errno == EINTR) return true;
  if (got <= 0) {
    closeQuietly(fd);
    return false;
  }
  into.append(chunk, static_cast<size_t>(got));
  return true;
}

void ChildProcess::drainUntilClosed(const Deadline& deadline) {
  while (output_ >= 0 || errors_ >= 0) {
    pollfd ready[2] = {{output_, POLLIN, 0}, {errors_, POLLIN, 0}};
    const int count = poll(ready, 2, deadline.remainingMilliseconds());
    if (count == 0) return;
    if (count < 0 && errno != EINTR) return;
    if (ready[0].revents != 0) readSome(output_, outputBuffer_);
    if (ready[1].revents != 0) readSome(errors_, errorBuffer_);
  }
}

std::optional<int> ChildProcess::waitForExit(const Deadline& deadline) {
  if (status_) return status_;
  pollfd exited{pidFd_, POLLIN, 0};
  if (poll(&exited, 1, deadline.remainingMilliseconds()) != 1) return std::nullopt;
  int waitStatus = 0;
  if (waitpid(pid_, &waitStatus, 0) != pid_) return std::nullopt;
  status_ = decodeStatus(waitStatus);
  return status_;
}

void ChildProcess::killAndReap() {
  if (pid_ <= 0 || status_) return;
  kill(pid_, SIGKILL);
  int waitStatus = 0;
  while (waitpid(pid_, &waitStatus, 0) < 0 && errno == EINTR) {
  }
  status_ = decodeStatus(waitStatus);
}

Ending ChildProcess::finish(const Deadline& deadline) {
  drainUntilClosed(deadline);
  Ending ending;
  ending.status = waitForExit(deadline);
  if (!ending.status) killAndReap();
  ending.output = std::move(outputBuffer_);
  ending.errors = std::move(errorBuffer_);
  outputBuffer_.clear();
  errorBuffer_.clear();
  return ending;
}

Ending ChildProcess::terminate(const Deadline& deadline) {
  if (!status_) kill(pid_, SIGTERM);
  return finish(deadline);
}

}  // namespace kex::confirm::test

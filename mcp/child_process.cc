#include "mcp/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

extern char** environ;

namespace kex::mcp {
namespace {

int millisecondsUntil(Deadline deadline) {
  const auto left = deadline - SteadyClock::now();
  if (left <= SteadyClock::duration::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms > 1'000'000'000 ? 1'000'000'000 : static_cast<int>(ms);
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

std::vector<std::string> mergedEnvironment(const EnvironmentChanges& changes) {
  std::map<std::string, std::string> merged;
  for (char** entry = environ; entry && *entry; ++entry) {
    const std::string_view text(*entry);
    const auto equals = text.find('=');
    if (equals == std::string_view::npos) continue;
    merged[std::string(text.substr(0, equals))] = std::string(text.substr(equals + 1));
  }
  for (const auto& [name, value] : changes) {
    if (value) {
      merged[name] = *value;
    } else {
      merged.erase(name);
    }
  }
  std::vector<std::string> result;
  result.reserve(merged.size());
  for (const auto& [name, value] : merged) result.push_back(name + "=" + value);
  return result;
}

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (auto& text : strings) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

struct Pipe {
  int readEnd = -1;
  int writeEnd = -1;
};

Pipe makePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw SpawnError(std::string("pipe2: ") + std::strerror(errno));
  return {fds[0], fds[1]};
}

int decodeWaitStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// The attributes and file actions of one spawn, released however the spawn ends.
class SpawnSetup {
 public:
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
};

// kex-mcp blocks the termination signals (it reads them from a signalfd) and ignores SIGPIPE;
// neither may be passed on, or kex-computer could neither be stopped nor notice a dead pipe.
void resetSignals(posix_spawnattr_t* attributes) {
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int signo : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2, SIGCHLD, SIGQUIT}) {
    sigaddset(&defaults, signo);
  }
  sigset_t empty;
  sigemptyset(&empty);
  posix_spawnattr_setsigdefault(attributes, &defaults);
  posix_spawnattr_setsigmask(attributes, &empty);
  posix_spawnattr_setflags(attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
}

}  // namespace

ChildProcess::ChildProcess(const SpawnOptions& options) {
  if (options.argv.empty()) throw SpawnError("no program given");
  SpawnSetup setup;
  Pipe input;
  Pipe output;
  // Standard input is the protocol's: a child must never read from it.
  if (options.input == InputPipe::pipe) {
    input = makePipe();
    posix_spawn_file_actions_adddup2(&setup.actions, input.readEnd, STDIN_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  if (options.output == OutputPipe::pipe) {
    output = makePipe();
    posix_spawn_file_actions_adddup2(&setup.actions, output.writeEnd, STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_adddup2(&setup.actions, STDERR_FILENO, STDOUT_FILENO);
  }
  resetSignals(&setup.attributes);

  auto environment = mergedEnvironment(options.environment);
  auto environmentPointers = pointersTo(environment);
  std::vector<std::string> argv = options.argv;
  auto argvPointers = pointersTo(argv);
  const int rc = ::posix_spawnp(&pid_, argv.front().c_str(), &setup.actions, &setup.attributes,
                                argvPointers.data(), environmentPointers.data());
  closeFd(input.readEnd);
  closeFd(output.writeEnd);
  if (rc != 0) {
    closeFd(input.writeEnd);
    closeFd(output.readEnd);
    pid_ = -1;
    throw SpawnError("cannot start " + argv.front() + ": " + std::strerror(rc));
  }
  inputFd_ = input.writeEnd;
  outputFd_ = output.readEnd;
  pidFd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
}

ChildProcess::~ChildProcess() {
  terminate();
  closeFd(inputFd_);
  closeFd(outputFd_);
  closeFd(pidFd_);
}

bool ChildProcess::write(std::string_view bytes) {
  while (inputFd_ >= 0 && !bytes.empty()) {
    const ssize_t written = ::write(inputFd_, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return inputFd_ >= 0;
}

void ChildProcess::closeInput() { closeFd(inputFd_); }

bool ChildProcess::fill(Deadline deadline, int wakeFd, ReadOutcome& outcome) {
  if (outputFd_ < 0 || outputEnded_) {
    outcome = ReadOutcome::ended;
    return false;
  }
  pollfd entries[2] = {{outputFd_, POLLIN, 0}, {wakeFd, POLLIN, 0}};
  const int ready = ::poll(entries, wakeFd >= 0 ? 2 : 1, millisecondsUntil(deadline));
  if (ready < 0 && errno == EINTR) return true;
  if (ready == 0) {
    outcome = ReadOutcome::timedOut;
    return false;
  }
  if (ready > 0 && wakeFd >= 0 && (entries[1].revents & POLLIN) && !(entries[0].revents)) {
    outcome = ReadOutcome::woken;
    return false;
  }
  // Most lines are small, but a capture can run to megabytes: large reads keep them cheap.
  constexpr std::size_t kChunk = 1 << 18;
  const std::size_t before = buffer_.size();
  buffer_.resize(before + kChunk);
  const ssize_t got = ready < 0 ? -1 : ::read(outputFd_, buffer_.data() + before, kChunk);
  buffer_.resize(before + (got > 0 ? static_cast<std::size_t>(got) : 0));
  if (got < 0 && errno == EINTR) return true;
  if (got <= 0) {
    outputEnded_ = true;
    outcome = ReadOutcome::ended;
    return false;
  }
  return true;
}

ReadOutcome ChildProcess::readLine(std::string& line, Deadline deadline, int wakeFd) {
  for (;;) {
    const auto end = buffer_.find('\n', scanned_);
    if (end != std::string::npos) {
      line.assign(buffer_, 0, end);
      buffer_.erase(0, end + 1);
      scanned_ = 0;
      return ReadOutcome::line;
    }
    scanned_ = buffer_.size();
    ReadOutcome outcome = ReadOutcome::line;
    if (!fill(deadline, wakeFd, outcome)) return outcome;
  }
}

bool ChildProcess::tryReap() {
  if (exitStatus_) return true;
  if (pid_ <= 0) return false;
  int status = 0;
  const pid_t reaped = ::waitpid(pid_, &status, WNOHANG);
  if (reaped != pid_) return false;
  exitStatus_ = decodeWaitStatus(status);
  closeFd(pidFd_);
  return true;
}

std::optional<int> ChildProcess::waitExit(Deadline deadline, int wakeFd) {
  while (!tryReap()) {
    if (SteadyClock::now() >= deadline) return std::nullopt;
    pollfd entries[2] = {{pidFd_, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    // Without a pidfd there is nothing to wait on but the clock; a short poll bounds the wait.
    const int timeout = pidFd_ >= 0 ? millisecondsUntil(deadline) : 5;
    const int ready = ::poll(entries, wakeFd >= 0 ? 2 : 1, timeout);
    if (ready > 0 && wakeFd >= 0 && (entries[1].revents & POLLIN)) {
      if (tryReap()) break;
      return std::nullopt;
    }
  }
  return exitStatus_;
}

int ChildProcess::terminate(Ending ending, SteadyClock::duration grace) {
  if (pid_ <= 0) return -1;
  closeInput();
  if (!exitStatus_ && ending == Ending::closeInputFirst) {
    (void)waitExit(SteadyClock::now() + grace);
  }
  if (!exitStatus_) {
    ::kill(pid_, SIGTERM);
    if (!waitExit(SteadyClock::now() + grace)) {
      ::kill(pid_, SIGKILL);
      (void)waitExit(SteadyClock::now() + std::chrono::seconds(30));
    }
  }
  return exitStatus_.value_or(-1);
}

}  // namespace kex::mcp

#include "tools/harness/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <utility>

extern char** environ;

namespace kex::harness {
namespace {

// A child that dies while we write to it must show up as a failed write, not end the test.
// What our children leave behind when they end (an accessibility bus daemon, an activated
// service) becomes ours, so that it can be reaped with its group instead of lingering.
void prepareProcessOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    ::signal(SIGPIPE, SIG_IGN);
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  });
}

bool groupIsEmpty(pid_t group) { return ::kill(-group, 0) != 0 && errno == ESRCH; }

void reapGroupMembers(pid_t group) {
  int status = 0;
  while (::waitpid(-group, &status, WNOHANG) > 0) {
  }
}

std::runtime_error systemError(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

std::vector<std::string> mergedEnvironment(const EnvChanges& changes) {
  std::map<std::string, std::string> merged;
  for (char** entry = environ; entry && *entry; ++entry) {
    std::string_view text(*entry);
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
  for (auto& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

struct Pipe {
  int readEnd = -1;
  int writeEnd = -1;
};

Pipe makePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw systemError("pipe2");
  return {fds[0], fds[1]};
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

int decodeWaitStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// RAII holder for the spawn attributes and file actions.
class SpawnSetup {
 public:
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions_);
    posix_spawnattr_init(&attributes_);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attributes_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
};

void redirectToFile(posix_spawn_file_actions_t* actions, int targetFd, const std::string& path,
                    int flags) {
  const std::string& where = path.empty() ? std::string("/dev/null") : path;
  posix_spawn_file_actions_addopen(actions, targetFd, where.c_str(), flags, 0644);
}

// The child starts with default signal handling, an empty mask and its own process group,
// whatever the test process has set up for itself.
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
  posix_spawnattr_setpgroup(attributes, 0);
  posix_spawnattr_setflags(attributes,
                           POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
}

}  // namespace

ChildProcess::ChildProcess(ChildOptions options) {
  prepareProcessOnce();
  if (options.argv.empty()) throw std::runtime_error("ChildProcess: no program given");
  program_ = options.argv.front();

  SpawnSetup setup;
  Pipe input;
  Pipe output;
  if (options.pipeStdin) {
    input = makePipe();
    posix_spawn_file_actions_adddup2(&setup.actions_, input.readEnd, STDIN_FILENO);
  } else {
    redirectToFile(&setup.actions_, STDIN_FILENO, "", O_RDONLY);
  }
  if (options.pipeStdout) {
    output = makePipe();
    posix_spawn_file_actions_adddup2(&setup.actions_, output.writeEnd, STDOUT_FILENO);
  } else {
    redirectToFile(&setup.actions_, STDOUT_FILENO, options.stdoutPath,
                   O_WRONLY | O_CREAT | O_TRUNC);
  }
  if (!options.inheritStderr) {
    redirectToFile(&setup.actions_, STDERR_FILENO, options.stderrPath,
                   O_WRONLY | O_CREAT | O_TRUNC);
  }
  // dup2 onto the same number clears close-on-exec in the child only.
  for (int fd : options.inheritedFds) posix_spawn_file_actions_adddup2(&setup.actions_, fd, fd);
  resetSignals(&setup.attributes_);

  auto environment = mergedEnvironment(options.env);
  auto envPointers = pointersTo(environment);
  auto argvPointers = pointersTo(options.argv);
  const int rc = ::posix_spawnp(&pid_, program_.c_str(), &setup.actions_, &setup.attributes_,
                                argvPointers.data(), envPointers.data());
  closeFd(input.readEnd);
  closeFd(output.writeEnd);
  if (rc != 0) {
    closeFd(input.writeEnd);
    closeFd(output.readEnd);
    errno = rc;
    throw systemError("cannot start " + program_);
  }
  stdinFd_ = input.writeEnd;
  stdoutFd_ = output.readEnd;
  pidFd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
}

ChildProcess::~ChildProcess() {
  terminate();
  closeFd(stdinFd_);
  closeFd(stdoutFd_);
  closeFd(pidFd_);
}

bool ChildProcess::writeRaw(std::string_view bytes) {
  if (stdinFd_ < 0) return false;
  while (!bytes.empty()) {
    const ssize_t written = ::write(stdinFd_, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

bool ChildProcess::writeLine(std::string_view line) {
  std::string framed(line);
  framed.push_back('\n');
  return writeRaw(framed);
}

void ChildProcess::closeStdin() { closeFd(stdinFd_); }

bool ChildProcess::fillBuffer(Deadline deadline) {
  if (stdoutFd_ < 0) outputEnded_ = true;
  if (outputEnded_) return false;
  pollfd entry{stdoutFd_, POLLIN, 0};
  const int ready = ::poll(&entry, 1, millisecondsLeft(deadline));
  if (ready < 0 && errno == EINTR) return true;
  if (ready == 0) return false;
  // A descriptor that can no longer be polled or read yields nothing more, like end of output.
  if (ready < 0) {
    outputEnded_ = true;
    return false;
  }
  char chunk[65536];
  const ssize_t got = ::read(stdoutFd_, chunk, sizeof chunk);
  if (got < 0 && (errno == EINTR || errno == EAGAIN)) return true;
  if (got <= 0) {
    outputEnded_ = true;
    return false;
  }
  buffer_.append(chunk, static_cast<std::size_t>(got));
  return true;
}

std::optional<std::string> ChildProcess::readLine(Deadline deadline) {
  for (;;) {
    const auto end = buffer_.find('\n');
    if (end != std::string::npos) {
      std::string line = buffer_.substr(0, end);
      buffer_.erase(0, end + 1);
      return line;
    }
    if (!fillBuffer(deadline) && (outputEnded_ || hasPassed(deadline))) return std::nullopt;
  }
}

std::string ChildProcess::readToEnd(Deadline deadline) {
  while (!outputEnded_ && !hasPassed(deadline)) fillBuffer(deadline);
  return std::exchange(buffer_, std::string());
}

bool ChildProcess::signal(int signo) {
  if (exitStatus_ || pid_ <= 0) return false;
  return ::kill(pid_, signo) == 0;
}

bool ChildProcess::tryReap() {
  if (exitStatus_) return true;
  int status = 0;
  const pid_t reaped = ::waitpid(pid_, &status, WNOHANG);
  if (reaped != pid_) return false;
  exitStatus_ = decodeWaitStatus(status);
  closeFd(pidFd_);
  return true;
}

std::optional<int> ChildProcess::waitExit(Deadline deadline) {
  while (!tryReap()) {
    if (hasPassed(deadline)) return std::nullopt;
    if (pidFd_ >= 0) {
      pollfd entry{pidFd_, POLLIN, 0};
      ::poll(&entry, 1, millisecondsLeft(deadline));
    } else {
      // Without a pidfd there is nothing to wait on but the clock; a short poll bounds the wait.
      ::poll(nullptr, 0, 2);
    }
  }
  return exitStatus_;
}

void ChildProcess::sweepProcessGroup() {
  if (pid_ <= 0 || groupIsEmpty(pid_)) return;
  ::kill(-pid_, SIGTERM);
  const Deadline deadline = deadlineIn(std::chrono::seconds(3));
  while (!groupIsEmpty(pid_) && !hasPassed(deadline)) {
    reapGroupMembers(pid_);
    // Members of the group are not all our children, so there is no one descriptor to wait
    // on; a short poll bounds the wait.
    ::poll(nullptr, 0, 2);
  }
  if (groupIsEmpty(pid_)) return;
  ::kill(-pid_, SIGKILL);
  reapGroupMembers(pid_);
}

int ChildProcess::terminate(Clock::duration grace) {
  if (pid_ <= 0) return -1;
  if (!exitStatus_) {
    signal(SIGTERM);
    if (!waitExit(deadlineIn(grace))) {
      signal(SIGKILL);
      (void)waitExit(deadlineIn(std::chrono::seconds(30)));
    }
  }
  sweepProcessGroup();
  return exitStatus_.value_or(-1);
}

ToolResult runTool(const std::vector<std::string>& argv, const EnvChanges& env, Deadline deadline) {
  ChildOptions options;
  options.argv = argv;
  options.env = env;
  options.pipeStdout = true;
  ChildProcess tool(std::move(options));
  ToolResult result;
  result.output = tool.readToEnd(deadline);
  result.exitStatus = tool.waitExit(deadline);
  return result;
}

}  // namespace kex::harness

#include "main/safety/watchdog_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

#include "main/common/failure.h"
#include "main/safety/held_input_line.h"
#include "platform/desktop.h"
#include "threads/mutex.h"

extern char** environ;

namespace kex {
namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void failPlatform(const char* what, int error) {
  throw platform::PlatformError(std::string(what) + ": " + std::strerror(error));
}

// Children whose pipes were closed before they had ended. Reaped whenever another is launched,
// so that failed starts leave no zombies behind.
class EndingChildren {
 public:
  static EndingChildren& instance() {
    static EndingChildren children;
    return children;
  }

  void add(pid_t pid) {
    threads::Lock guard(mutex_);
    pids_.push_back(pid);
  }

  void reapEnded() {
    threads::Lock guard(mutex_);
    std::erase_if(pids_, [](pid_t pid) { return ::waitpid(pid, nullptr, WNOHANG) != 0; });
  }

 private:
  threads::Mutex mutex_;
  std::vector<pid_t> pids_ GUARDED_BY(mutex_);
};

class Pipe {
 public:
  Pipe() {
    if (::pipe2(fds_, O_CLOEXEC) != 0) failPlatform("pipe2", errno);
  }
  ~Pipe() {
    for (int fd : fds_) {
      if (fd >= 0) ::close(fd);
    }
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;

  [[nodiscard]] int readEnd() const { return fds_[0]; }
  [[nodiscard]] int writeEnd() const { return fds_[1]; }
  int takeReadEnd() { return std::exchange(fds_[0], -1); }
  int takeWriteEnd() { return std::exchange(fds_[1], -1); }

 private:
  int fds_[2] = {-1, -1};
};

// What the child inherits: both pipes as its standard input and output, /dev/null as standard
// error, nothing else (this process's descriptors are not all close-on-exec: libraries open
// their own), and signals as a fresh program has them. This process blocks its termination
// signals and ignores SIGPIPE, and both would survive exec.
class SpawnSettings {
 public:
  SpawnSettings(int input, int output) {
    posix_spawn_file_actions_init(&actions_);
    posix_spawnattr_init(&attributes_);
    check(posix_spawn_file_actions_adddup2(&actions_, input, STDIN_FILENO));
    check(posix_spawn_file_actions_adddup2(&actions_, output, STDOUT_FILENO));
    check(posix_spawn_file_actions_addopen(&actions_, STDERR_FILENO, "/dev/null", O_WRONLY, 0));
    check(posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1));
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    check(posix_spawnattr_setsigmask(&attributes_, &none));
    check(posix_spawnattr_setsigdefault(&attributes_, &all));
    check(posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF));
  }
  ~SpawnSettings() {
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attributes_);
  }
  SpawnSettings(const SpawnSettings&) = delete;
  SpawnSettings& operator=(const SpawnSettings&) = delete;

  [[nodiscard]] const posix_spawn_file_actions_t* actions() const { return &actions_; }
  [[nodiscard]] const posix_spawnattr_t* attributes() const { return &attributes_; }

 private:
  static void check(int error) {
    if (error != 0) failPlatform("posix_spawn settings", error);
  }

  posix_spawn_file_actions_t actions_{};
  posix_spawnattr_t attributes_{};
};

// Writes without letting SIGPIPE end the process, whatever its disposition: the signal is
// blocked on this thread for the write and a pending one is consumed.
ssize_t writeWithoutSigpipe(int fd, const char* data, std::size_t size) {
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
  ssize_t written;
  do {
    written = ::write(fd, data, size);
  } while (written < 0 && errno == EINTR);
  const int error = errno;
  if (written < 0 && error == EPIPE && !sigismember(&previous, SIGPIPE)) {
    const timespec immediately{0, 0};
    while (sigtimedwait(&pipeSignal, nullptr, &immediately) == SIGPIPE) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = error;
  return written;
}

}  // namespace

std::unique_ptr<WatchdogProcess> WatchdogProcess::launch(const std::string& program) {
  EndingChildren::instance().reapEnded();
  Pipe input;
  Pipe output;
  pid_t pid = -1;
  {
    const SpawnSettings settings(input.readEnd(), output.writeEnd());
    std::string programCopy = program;
    std::string mode = "--release-watchdog";
    char* argv[] = {programCopy.data(), mode.data(), nullptr};
    const int error = ::posix_spawn(&pid, program.c_str(), settings.actions(),
                                    settings.attributes(), argv, environ);
    if (error != 0) failPlatform("posix_spawn", error);
  }
  // Each pipe keeps one reader and one writer: the child sees end of input as soon as this
  // process's write end closes.
  return std::unique_ptr<WatchdogProcess>(
      new WatchdogProcess(pid, input.takeWriteEnd(), output.takeReadEnd()));
}

WatchdogProcess::~WatchdogProcess() {
  closePipes();
  if (reaped_) return;
  if (::waitpid(pid_, nullptr, WNOHANG) == 0) EndingChildren::instance().add(pid_);
}

void WatchdogProcess::closePipes() {
  if (input_ >= 0) ::close(input_);
  if (output_ >= 0) ::close(output_);
  input_ = -1;
  output_ = -1;
}

void WatchdogProcess::exchange(const std::vector<platform::Event>& held) {
  if (lost_ || input_ < 0) throw Failure(codes::inputWatchdogLost);
  const std::string line = heldInputLine(held);
  writeLine(line);
  awaitAnswer();
}

void WatchdogProcess::writeLine(const std::string& line) {
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t written = writeWithoutSigpipe(input_, line.data() + done, line.size() - done);
    if (written <= 0) {
      const int error = written < 0 ? errno : EIO;
      lost_ = true;
      // A child that refused the lock answers and ends at once, maybe before this write: its
      // answer, not the broken pipe, says why.
      if (readAnswer(std::chrono::milliseconds(0)) == kWatchdogLockRefused) {
        throw Failure(codes::controllerBusy);
      }
      failPlatform("write to the release watchdog", error);
    }
    done += static_cast<std::size_t>(written);
  }
}

void WatchdogProcess::awaitAnswer() {
  lost_ = true;
  const auto answer = readAnswer(kAnswerLimit);
  if (answer == kWatchdogLockRefused) throw Failure(codes::controllerBusy);
  if (answer != kWatchdogAccepted) throw Failure(codes::inputWatchdogLost);
  lost_ = false;
}

// Hang-up alone, end of output or a time-out all mean no answer.
std::optional<char> WatchdogProcess::readAnswer(std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  pollfd entry{output_, POLLIN, 0};
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    const int ready = ::poll(&entry, 1, static_cast<int>(std::max<long>(left.count(), 0)));
    if (ready < 0 && errno == EINTR) continue;
    break;
  }
  if ((entry.revents & POLLIN) == 0) return std::nullopt;
  char answer = 0;
  ssize_t got;
  do {
    got = ::read(output_, &answer, 1);
  } while (got < 0 && errno == EINTR);
  if (got != 1) return std::nullopt;
  return answer;
}

std::optional<int> WatchdogProcess::closeAndWait(std::chrono::milliseconds limit) {
  closePipes();
  const auto deadline = Clock::now() + limit;
  for (;;) {
    int status = 0;
    const pid_t ended = ::waitpid(pid_, &status, WNOHANG);
    if (ended == pid_) {
      reaped_ = true;
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      return 128 + WTERMSIG(status);
    }
    if (ended < 0 || Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

}  // namespace kex

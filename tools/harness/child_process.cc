#include "tools/harness/child_process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
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

std::runtime_error systemError(const std::string& what, int error = errno) {
  return std::runtime_error(what + ": " + std::strerror(error));
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// One descriptor, closed when it goes unless handed on.
class OwnedFd {
 public:
  OwnedFd() = default;
  explicit OwnedFd(int fd) : fd_(fd) {}
  ~OwnedFd() { closeFd(fd_); }
  OwnedFd(OwnedFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  OwnedFd& operator=(OwnedFd&& other) noexcept {
    if (this != &other) {
      closeFd(fd_);
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }

  [[nodiscard]] int get() const { return fd_; }
  [[nodiscard]] int release() { return std::exchange(fd_, -1); }
  void reset() { closeFd(fd_); }

 private:
  int fd_ = -1;
};

struct Pipe {
  OwnedFd readEnd;
  OwnedFd writeEnd;
};

Pipe makePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw systemError("pipe2");
  return {OwnedFd(fds[0]), OwnedFd(fds[1])};
}

// One standard stream: what the child gets as the stream (nothing leaves the caller's own), and
// what this process keeps of it (a pipe's other end).
struct StreamEnds {
  OwnedFd childEnd;
  OwnedFd ownEnd;
};

StreamEnds openStream(int stream, Stream kind, const std::string& path) {
  if (kind == Stream::inherit) return {};
  if (kind == Stream::pipe) {
    Pipe pipe = makePipe();
    if (stream == STDIN_FILENO) return {std::move(pipe.readEnd), std::move(pipe.writeEnd)};
    return {std::move(pipe.writeEnd), std::move(pipe.readEnd)};
  }
  const bool input = stream == STDIN_FILENO;
  const std::string where = input || path.empty() ? "/dev/null" : path;
  const int flags = input ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC;
  const int fd = ::open(where.c_str(), flags | O_CLOEXEC, 0644);
  if (fd < 0) throw systemError("cannot open " + where);
  return {OwnedFd(fd), OwnedFd()};
}

std::vector<std::string> environmentFor(const ChildOptions& options) {
  std::map<std::string, std::string> merged;
  for (char** entry = environ; options.envBase == EnvBase::inherited && entry && *entry; ++entry) {
    std::string_view text(*entry);
    const auto equals = text.find('=');
    if (equals == std::string_view::npos) continue;
    merged[std::string(text.substr(0, equals))] = std::string(text.substr(equals + 1));
  }
  for (const auto& [name, value] : options.env) {
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

bool isExecutableFile(const std::string& path) {
  struct stat facts {};
  return ::stat(path.c_str(), &facts) == 0 && S_ISREG(facts.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

// The program as it names itself when that is a path, else the first executable of that name in
// the child's own PATH (as env(1) finds it), resolved here because the child may not allocate.
std::string executablePath(const std::string& program, const std::vector<std::string>& env) {
  if (program.find('/') != std::string::npos) return program;
  std::string_view searched = "/usr/local/bin:/usr/bin:/bin";
  for (const std::string& entry : env) {
    if (entry.starts_with("PATH=")) searched = std::string_view(entry).substr(5);
  }
  for (;;) {
    const auto colon = searched.find(':');
    const std::string_view folder = searched.substr(0, colon);
    // An empty entry is the working folder, as for execvp(3).
    const std::string candidate = folder.empty() ? program : std::string(folder) + "/" + program;
    if (isExecutableFile(candidate)) return candidate;
    if (colon == std::string_view::npos) break;
    searched.remove_prefix(colon + 1);
  }
  throw systemError("cannot start " + program, ENOENT);
}

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (auto& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

int decodeWaitStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// All the forked child needs, prepared before the fork: the child of a multithreaded test may
// only make async-signal-safe calls, so it allocates nothing.
struct ChildPlan {
  const char* path;
  char* const* argv;
  char* const* envp;
  // What becomes standard input, output and error; -1 keeps the caller's own.
  int streams[3];
  const std::vector<int>& inheritedFds;
  const std::optional<Account>& account;
  // Readable once the child may run its program; -1 when it starts at once.
  int releaseFd;
  // Where the child reports the errno of whatever kept it from running its program.
  int reportFd;
};

[[noreturn]] void failChild(const ChildPlan& plan) {
  const int error = errno;
  (void)!::write(plan.reportFd, &error, sizeof error);
  ::_exit(127);
}

// The child starts with default signal handling, an empty mask, its own process group and only
// the descriptors it is given, whatever the test process has set up for itself.
[[noreturn]] void runChild(const ChildPlan& plan) {
  ::setpgid(0, 0);
  struct sigaction defaults {};
  defaults.sa_handler = SIG_DFL;
  for (int signo = 1; signo < NSIG; ++signo) ::sigaction(signo, &defaults, nullptr);
  sigset_t empty;
  sigemptyset(&empty);
  ::sigprocmask(SIG_SETMASK, &empty, nullptr);

  for (int stream = 0; stream < 3; ++stream) {
    if (plan.streams[stream] >= 0 && ::dup2(plan.streams[stream], stream) < 0) failChild(plan);
  }
  ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
  for (int fd : plan.inheritedFds) {
    if (::fcntl(fd, F_SETFD, 0) != 0) failChild(plan);
  }
  if (plan.account) {
    const gid_t gid = plan.account->gid;
    if (::setgroups(1, &gid) != 0 || ::setgid(gid) != 0 || ::setuid(plan.account->uid) != 0) {
      failChild(plan);
    }
  }
  if (plan.releaseFd >= 0) {
    char go = 0;
    // This process went away without releasing the child: its program must not run.
    if (::read(plan.releaseFd, &go, 1) != 1) ::_exit(126);
  }
  ::execve(plan.path, plan.argv, plan.envp);
  failChild(plan);
}

}  // namespace

ChildProcess::ChildProcess(ChildOptions options) {
  prepareProcessOnce();
  if (options.argv.empty()) throw std::runtime_error("ChildProcess: no program given");
  program_ = options.argv.front();

  std::vector<std::string> environment = environmentFor(options);
  const std::string path = executablePath(program_, environment);
  const std::vector<char*> argv = pointersTo(options.argv);
  const std::vector<char*> envp = pointersTo(environment);
  StreamEnds input = openStream(STDIN_FILENO, options.stdinFrom, "");
  StreamEnds output = openStream(STDOUT_FILENO, options.stdoutTo, options.stdoutPath);
  StreamEnds errors = openStream(STDERR_FILENO, options.stderrTo, options.stderrPath);
  Pipe release = options.start == Start::held ? makePipe() : Pipe{};
  Pipe report = makePipe();
  const ChildPlan plan{
      .path = path.c_str(),
      .argv = argv.data(),
      .envp = envp.data(),
      .streams = {input.childEnd.get(), output.childEnd.get(), errors.childEnd.get()},
      .inheritedFds = options.inheritedFds,
      .account = options.account,
      .releaseFd = release.readEnd.get(),
      .reportFd = report.writeEnd.get(),
  };

  pid_ = ::fork();
  if (pid_ < 0) throw systemError("fork");
  if (pid_ == 0) runChild(plan);

  // The child holds its own copies; the start report can only end once ours is closed too.
  for (OwnedFd* childEnd :
       {&input.childEnd, &output.childEnd, &errors.childEnd, &release.readEnd, &report.writeEnd}) {
    childEnd->reset();
  }
  stdinFd_ = input.ownEnd.release();
  stdoutFd_ = output.ownEnd.release();
  stderrFd_ = errors.ownEnd.release();
  releaseFd_ = release.writeEnd.release();
  startReportFd_ = report.readEnd.release();
  pidFd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
  if (pidFd_ < 0) {
    const int error = errno;
    abandon();
    throw systemError("pidfd_open", error);
  }
  if (options.start == Start::now) confirmStart();
}

ChildProcess::~ChildProcess() {
  (void)terminate();
  closeDescriptors();
}

void ChildProcess::closeDescriptors() {
  for (int* fd : {&pidFd_, &stdinFd_, &stdoutFd_, &stderrFd_, &releaseFd_, &startReportFd_}) {
    closeFd(*fd);
  }
}

void ChildProcess::abandon() {
  ::kill(pid_, SIGKILL);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  exitStatus_ = decodeWaitStatus(status);
  closeDescriptors();
}

// The report closes unread when exec succeeds; otherwise it holds the errno of what failed.
void ChildProcess::confirmStart() {
  int error = 0;
  ssize_t got = 0;
  do {
    got = ::read(startReportFd_, &error, sizeof error);
  } while (got < 0 && errno == EINTR);
  closeFd(startReportFd_);
  if (got != static_cast<ssize_t>(sizeof error)) return;
  abandon();
  throw systemError("cannot start " + program_, error);
}

void ChildProcess::release() {
  if (releaseFd_ < 0) return;
  const char go = 1;
  ssize_t written = 0;
  do {
    written = ::write(releaseFd_, &go, 1);
  } while (written < 0 && errno == EINTR);
  closeFd(releaseFd_);
  if (written != 1) throw std::runtime_error("cannot start " + program_ + ": it is gone");
  confirmStart();
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

namespace {

// Appends what the descriptor holds; closes it at its end or once it can no longer be read.
void readInto(int& fd, std::string& buffer) {
  char chunk[65536];
  const ssize_t got = ::read(fd, chunk, sizeof chunk);
  if (got < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (got <= 0) {
    closeFd(fd);
    return;
  }
  buffer.append(chunk, static_cast<std::size_t>(got));
}

}  // namespace

// Waits until a piped output has something (kept in the buffers), the child ends (it is reaped)
// or the deadline passes; false when nothing happened by then or nothing is left to wait for.
bool ChildProcess::awaitActivity(Deadline deadline) {
  pollfd entries[] = {{stdoutFd_, POLLIN, 0}, {stderrFd_, POLLIN, 0}, {pidFd_, POLLIN, 0}};
  if (stdoutFd_ < 0 && stderrFd_ < 0 && pidFd_ < 0) return false;
  const int ready = ::poll(entries, 3, millisecondsLeft(deadline));
  if (ready < 0 && errno == EINTR) return true;
  if (ready <= 0) return false;
  if (entries[0].revents != 0) readInto(stdoutFd_, output_);
  if (entries[1].revents != 0) readInto(stderrFd_, errors_);
  if (entries[2].revents != 0) (void)tryReap();
  return true;
}

std::optional<std::string> ChildProcess::readLine(Deadline deadline) {
  const auto takeLine = [this]() -> std::optional<std::string> {
    const auto end = output_.find('\n');
    if (end == std::string::npos) return std::nullopt;
    std::string line = output_.substr(0, end);
    output_.erase(0, end + 1);
    return line;
  };
  for (;;) {
    if (auto line = takeLine()) return line;
    if (outputEnded() || !awaitActivity(deadline)) return std::nullopt;
    if (hasPassed(deadline)) return takeLine();
  }
}

std::optional<char> ChildProcess::readByte(Deadline deadline) {
  for (;;) {
    if (!output_.empty()) {
      const char byte = output_.front();
      output_.erase(0, 1);
      return byte;
    }
    if (outputEnded() || !awaitActivity(deadline)) return std::nullopt;
    if (hasPassed(deadline) && output_.empty()) return std::nullopt;
  }
}

bool ChildProcess::signal(int signo) {
  if (exitStatus_ || pid_ <= 0) return false;
  return ::kill(pid_, signo) == 0;
}

bool ChildProcess::tryReap() {
  if (exitStatus_) return true;
  int status = 0;
  const pid_t reaped = ::waitpid(pid_, &status, WNOHANG);
  if (reaped == pid_) {
    exitStatus_ = decodeWaitStatus(status);
  } else if (reaped < 0 && errno == ECHILD) {
    // Reaped by someone else: it has ended, but how is lost.
    exitStatus_ = -1;
  } else {
    return false;
  }
  closeFd(pidFd_);
  return true;
}

std::optional<int> ChildProcess::waitExit(Deadline deadline) {
  while (!tryReap()) {
    if (hasPassed(deadline) || !awaitActivity(deadline)) return std::nullopt;
  }
  return exitStatus_;
}

void ChildProcess::killNow() {
  if (exitStatus_) return;
  ::kill(pid_, SIGKILL);
  (void)waitExit(deadlineIn(std::chrono::seconds(30)));
}

Ending ChildProcess::takeEnding() {
  return {exitStatus_, std::exchange(output_, std::string()),
          std::exchange(errors_, std::string())};
}

Ending ChildProcess::finish(Deadline deadline) {
  while ((stdoutFd_ >= 0 || stderrFd_ >= 0) && !hasPassed(deadline)) {
    if (!awaitActivity(deadline)) break;
  }
  if (waitExit(deadline)) return takeEnding();
  killNow();
  Ending ending = takeEnding();
  ending.exitStatus.reset();
  return ending;
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

Ending ChildProcess::terminate(Clock::duration grace) {
  if (pid_ <= 0) return {};
  if (!exitStatus_) {
    signal(SIGTERM);
    if (!waitExit(deadlineIn(grace))) killNow();
  }
  sweepProcessGroup();
  // Whatever the group wrote before it ended is still in the pipes; a process outside the group
  // that keeps writing to them must not hold this up.
  const Deadline collected = deadlineIn(grace);
  while ((stdoutFd_ >= 0 || stderrFd_ >= 0) && !hasPassed(collected) &&
         awaitActivity(Clock::now())) {
  }
  return takeEnding();
}

Ending runTool(const std::vector<std::string>& argv, const EnvChanges& env, Deadline deadline) {
  ChildProcess tool({.argv = argv, .env = env, .stdoutTo = Stream::pipe});
  return tool.finish(deadline);
}

}  // namespace kex::harness

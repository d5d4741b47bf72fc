#include "tests/e2e/control_probe.h"

#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kex::e2e {

ControlProbe::ControlProbe(harness::VirtualDesktop& desktop) {
  harness::ChildOptions options;
  options.argv = {KEX_CONTROL_PROBE_PATH, KEX_COMPUTER_PATH};
  options.env = desktop.env();
  options.stdinFrom = harness::Stream::pipe;
  options.stdoutTo = harness::Stream::pipe;
  options.stderrPath = desktop.newLogPath("control-probe");
  process_ = std::make_unique<harness::ChildProcess>(std::move(options));
}

ControlProbe::~ControlProbe() {
  if (!process_->hasExited()) (void)finish();
}

std::string ControlProbe::command(const std::string& line) {
  process_->writeLine(line);
  auto answer = process_->readLine(harness::deadlineIn(std::chrono::seconds(10)));
  if (!answer) throw std::runtime_error("kex-control-probe gave no answer to " + line);
  return *answer;
}

pid_t ControlProbe::watchdogPid() {
  const std::string answer = command("watchdog");
  return answer == "none" ? -1 : static_cast<pid_t>(std::stol(answer));
}

std::pair<long, long> ControlProbe::observed() {
  std::istringstream counts(command("observed"));
  long own = 0;
  long human = 0;
  counts >> own >> human;
  return {own, human};
}

std::optional<int> ControlProbe::finish() {
  const pid_t watchdog = process_->hasExited() ? -1 : watchdogPid();
  process_->closeStdin();
  const auto deadline = harness::deadlineIn(std::chrono::seconds(10));
  const auto status = process_->waitExit(deadline);
  if (watchdog > 0) (void)waitForProcessEnd(watchdog, deadline);
  return status;
}

bool waitForProcessEnd(pid_t pid, harness::Deadline deadline) {
  const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (fd < 0) return errno == ESRCH;
  pollfd entry{fd, POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&entry, 1, harness::millisecondsLeft(deadline));
  } while (ready < 0 && errno == EINTR);
  ::close(fd);
  return ready == 1;
}

pid_t releaseWatchdogOf(pid_t parent) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    const std::string name = entry.path().filename();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream statFile(entry.path() / "stat");
    std::string stat((std::istreambuf_iterator<char>(statFile)), {});
    // "pid (command) state ppid ...": the command may hold anything, so fields follow its last ')'.
    const auto close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(stat.substr(close + 1));
    std::string state;
    pid_t parentPid = 0;
    if (!(fields >> state >> parentPid) || parentPid != parent) continue;
    std::ifstream cmdlineFile(entry.path() / "cmdline");
    const std::string cmdline((std::istreambuf_iterator<char>(cmdlineFile)), {});
    if (cmdline.find(std::string("--release-watchdog") + '\0') != std::string::npos) {
      return static_cast<pid_t>(std::stol(name));
    }
  }
  return -1;
}

std::optional<int> waitForAdoptedExit(pid_t pid, harness::Deadline deadline) {
  if (!waitForProcessEnd(pid, deadline)) return std::nullopt;
  int status = 0;
  pid_t reaped;
  do {
    reaped = ::waitpid(pid, &status, 0);
  } while (reaped < 0 && errno == EINTR);
  if (reaped != pid) return std::nullopt;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

std::vector<std::string> heldInput(harness::VirtualDesktop& desktop) {
  std::vector<std::string> held;
  for (int key : desktop.root().pressedKeys()) held.push_back("key " + std::to_string(key));
  for (int button : desktop.root().pressedButtons()) {
    held.push_back("button " + std::to_string(button));
  }
  return held;
}

bool waitUntilNothingHeld(harness::VirtualDesktop& desktop, harness::Deadline deadline) {
  // Nothing announces a release to a bystander, so the state is asked again until the deadline;
  // each asking is one round trip.
  while (!heldInput(desktop).empty()) {
    if (harness::hasPassed(deadline)) return false;
    ::usleep(1000);
  }
  return true;
}

std::vector<std::string> xinputDown(harness::VirtualDesktop& desktop) {
  std::vector<std::string> down;
  for (const char* device : {"Virtual core XTEST keyboard", "Virtual core XTEST pointer"}) {
    const auto result = desktop.runTool({"xinput", "query-state", device});
    std::istringstream lines(result.output);
    for (std::string line; std::getline(lines, line);) {
      const auto start = line.find_first_not_of(" \t");
      if (line.find("=down") != std::string::npos) down.push_back(line.substr(start));
    }
  }
  return down;
}

}  // namespace kex::e2e

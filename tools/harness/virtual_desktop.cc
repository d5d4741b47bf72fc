#include "tools/harness/virtual_desktop.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tools/harness/session_bus.h"

namespace kex::harness {
namespace {

// The read end of a pipe whose write end a child announces something on (a display number, a
// bus address). Only the child holds the write end once it is started, so a child that dies
// ends the wait at once.
class AnnouncementPipe {
 public:
  AnnouncementPipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
      throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
    }
    readEnd_ = fds[0];
    writeEnd_ = fds[1];
  }
  ~AnnouncementPipe() {
    closeWriteEnd();
    ::close(readEnd_);
  }
  AnnouncementPipe(const AnnouncementPipe&) = delete;
  AnnouncementPipe& operator=(const AnnouncementPipe&) = delete;

  [[nodiscard]] int writeEnd() const { return writeEnd_; }
  void closeWriteEnd() {
    if (writeEnd_ >= 0) ::close(writeEnd_);
    writeEnd_ = -1;
  }

  // The first line written, without its line feed.
  [[nodiscard]] std::optional<std::string> readLine(Deadline deadline) {
    std::string text;
    for (;;) {
      const auto end = text.find('\n');
      if (end != std::string::npos) return text.substr(0, end);
      pollfd entry{readEnd_, POLLIN, 0};
      const int ready = ::poll(&entry, 1, millisecondsLeft(deadline));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) return std::nullopt;
      char chunk[512];
      const ssize_t got = ::read(readEnd_, chunk, sizeof chunk);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return std::nullopt;
      text.append(chunk, static_cast<std::size_t>(got));
    }
  }

 private:
  int readEnd_ = -1;
  int writeEnd_ = -1;
};

constexpr std::string_view kReadyPrefix = "ready ";

// The runtime directory goes with the desktop, so the failure carries the log it points to.
std::runtime_error startFailure(const std::string& what, const std::string& logPath) {
  std::ifstream log(logPath);
  std::string text(4096, '\0');
  log.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(log.gcount()));
  return std::runtime_error("virtual desktop: " + what + "; " + logPath + ":\n" + text);
}

std::string sizeText(int width, int height) {
  return std::to_string(width) + "x" + std::to_string(height);
}

Account accountOf(const std::string& user) {
  const passwd* entry = ::getpwnam(user.c_str());
  if (!entry) throw std::runtime_error("virtual desktop: no user " + user);
  return {entry->pw_uid, entry->pw_gid};
}

}  // namespace

bool TestApp::waitUntilReady(Deadline deadline) {
  const auto ready = waitForLine(kReadyPrefix, deadline);
  if (!ready) return false;
  xid_ = static_cast<std::uint32_t>(std::strtoul(ready->c_str() + kReadyPrefix.size(), nullptr, 0));
  return xid_ != 0;
}

std::optional<std::string> TestApp::waitForLine(std::string_view prefix, Deadline deadline) {
  for (;;) {
    while (unexamined_ < lines_.size()) {
      const std::string& line = lines_[unexamined_++];
      if (line.starts_with(prefix)) return line;
    }
    auto line = process_->readLine(deadline);
    if (!line) return std::nullopt;
    lines_.push_back(std::move(*line));
  }
}

VirtualDesktop::VirtualDesktop(DesktopOptions options) : options_(std::move(options)) {
  const Deadline deadline = deadlineIn(options_.startTimeout);
  makeRuntimeDir();
  try {
    startXServer(deadline);
    startSessionBus(deadline);
    if (options_.accessibilityBus) startAccessibilityBus(deadline);
    if (options_.windowManager) startWindowManager(deadline);
  } catch (...) {
    stopAll();
    throw;
  }
}

VirtualDesktop::~VirtualDesktop() { stopAll(); }

void VirtualDesktop::makeRuntimeDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kex-desktop-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) {
    throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
  }
  runtimeDir_ = pattern;
  ::chmod(runtimeDir_.c_str(), 0700);
  std::filesystem::create_directories(runtimeDir_ + "/config");
  std::filesystem::create_directories(runtimeDir_ + "/cache");
}

std::string VirtualDesktop::newLogPath(std::string_view stem) {
  return runtimeDir_ + "/" + std::string(stem) + "-" + std::to_string(++logCounter_) + ".log";
}

EnvChanges VirtualDesktop::env() const {
  EnvChanges changes{
      {"DISPLAY", display_},
      {"XDG_RUNTIME_DIR", runtimeDir_},
      {"XDG_CONFIG_HOME", runtimeDir_ + "/config"},
      {"XDG_CACHE_HOME", runtimeDir_ + "/cache"},
      // Settings stay in memory, so no dconf service is activated and no desktop shares state.
      {"GSETTINGS_BACKEND", "memory"},
      {"GDK_BACKEND", "x11"},
      {"NO_AT_BRIDGE", std::nullopt},
      {"AT_SPI_BUS_ADDRESS", std::nullopt},
      {"WAYLAND_DISPLAY", std::nullopt},
      {"XAUTHORITY", std::nullopt},
      {"DBUS_SYSTEM_BUS_ADDRESS", std::nullopt},
  };
  if (sessionBusAddress_.empty()) {
    changes["DBUS_SESSION_BUS_ADDRESS"] = std::nullopt;
  } else {
    changes["DBUS_SESSION_BUS_ADDRESS"] = sessionBusAddress_;
  }
  return changes;
}

void VirtualDesktop::startXServer(Deadline deadline) {
  AnnouncementPipe announcement;
  ChildOptions options;
  if (!options_.serverUser.empty()) options.account = accountOf(options_.serverUser);
  options.argv = {"Xvfb",     "-displayfd", std::to_string(announcement.writeEnd()),
                  "-noreset", "-nolisten",  "tcp",
                  "-screen",  "0",          sizeText(options_.width, options_.height) + "x24"};
  for (const std::string& extension : options_.disabledExtensions) {
    options.argv.insert(options.argv.end(), {"-extension", extension});
  }
  const std::string log = runtimeDir_ + "/xvfb.log";
  options.stderrPath = log;
  options.inheritedFds = {announcement.writeEnd()};
  processes_.push_back(std::make_unique<ChildProcess>(std::move(options)));
  announcement.closeWriteEnd();

  const auto number = announcement.readLine(deadline);
  if (!number || number->empty()) throw startFailure("Xvfb gave no display number", log);
  display_ = ":" + *number;
  root_ = std::make_unique<XRoot>(display_);
}

void VirtualDesktop::startSessionBus(Deadline deadline) {
  AnnouncementPipe announcement;
  ChildOptions options;
  options.argv = {"dbus-daemon", "--session", "--nofork",
                  "--address=unix:path=" + runtimeDir_ + "/bus",
                  "--print-address=" + std::to_string(announcement.writeEnd())};
  options.env = env();
  const std::string log = runtimeDir_ + "/session-bus.log";
  options.stderrPath = log;
  options.inheritedFds = {announcement.writeEnd()};
  processes_.push_back(std::make_unique<ChildProcess>(std::move(options)));
  announcement.closeWriteEnd();

  const auto address = announcement.readLine(deadline);
  if (!address || address->empty()) {
    throw startFailure("the session bus gave no address", log);
  }
  sessionBusAddress_ = *address;
}

std::string VirtualDesktop::startLogged(std::vector<std::string> argv, std::string_view logName) {
  ChildOptions options;
  options.argv = std::move(argv);
  options.env = env();
  const std::string log = runtimeDir_ + "/" + std::string(logName);
  options.stderrPath = log;
  processes_.push_back(std::make_unique<ChildProcess>(std::move(options)));
  return log;
}

void VirtualDesktop::startAccessibilityBus(Deadline deadline) {
  const std::string log = startLogged({"/usr/libexec/at-spi-bus-launcher", "--launch-immediately"},
                                      "a11y-bus-" + std::to_string(++logCounter_) + ".log");
  accessibilityLauncher_ = processes_.back().get();

  const auto address = waitForAccessibilityBus(sessionBusAddress_, deadline);
  if (!address) {
    throw startFailure("the accessibility bus did not answer", log);
  }
  accessibilityBusAddress_ = *address;
}

void VirtualDesktop::startWindowManager(Deadline deadline) {
  const std::string log = startLogged({"openbox", "--sm-disable"}, "openbox.log");
  windowManager_ = processes_.back().get();

  if (!root_->waitForProperty("_NET_SUPPORTING_WM_CHECK", deadline) ||
      !root_->waitUntilWindowsAreManaged(deadline)) {
    throw startFailure("openbox did not take the screen", log);
  }
}

void VirtualDesktop::restartAccessibilityBus(Deadline deadline) {
  const auto launcher =
      std::find_if(processes_.begin(), processes_.end(),
                   [this](const auto& process) { return process.get() == accessibilityLauncher_; });
  if (launcher != processes_.end()) processes_.erase(launcher);
  accessibilityLauncher_ = nullptr;
  startAccessibilityBus(deadline);
}

std::unique_ptr<TestApp> VirtualDesktop::startApp(const std::vector<std::string>& args,
                                                  Deadline deadline) {
  if (options_.testAppPath.empty()) throw std::runtime_error("no test application configured");
  return startAppAt(options_.testAppPath, args, deadline);
}

std::unique_ptr<TestApp> VirtualDesktop::startAppAt(const std::string& program,
                                                    const std::vector<std::string>& args,
                                                    Deadline deadline) {
  ChildOptions options;
  options.argv = {program};
  options.argv.insert(options.argv.end(), args.begin(), args.end());
  options.env = env();
  options.stdoutTo = Stream::pipe;
  const std::string log = newLogPath("test-app");
  options.stderrPath = log;
  auto app = std::make_unique<TestApp>(std::make_unique<ChildProcess>(std::move(options)));
  if (!app->waitUntilReady(deadline)) {
    std::string said;
    for (const auto& line : app->lines()) said += " [" + line + "]";
    throw startFailure(program + " did not say ready; it said" + said, log);
  }
  return app;
}

bool VirtualDesktop::killWindowManager(Deadline deadline) {
  if (windowManager_ == nullptr || !windowManager_->signal(SIGKILL)) return false;
  const bool ended = windowManager_->waitExit(deadline).has_value();
  windowManager_ = nullptr;
  if (!ended) return false;
  // The property stays behind on the root window; the window it names goes with openbox.
  while (!hasPassed(deadline)) {
    const auto check = runTool({"xprop", "-root", "_NET_SUPPORTING_WM_CHECK"}, deadline);
    const auto id = check.output.find("window id # ");
    if (id == std::string::npos) return true;
    const auto window = check.output.substr(id + 12);
    if (runTool({"xwininfo", "-id", window.substr(0, window.find_first_of(" \n"))}, deadline)
            .exitStatus != 0) {
      return true;
    }
  }
  return false;
}

void VirtualDesktop::lockScreen() {
  root_->setProperty32("_SCREENSAVER_STATUS", "ATOM", {root_->atom("LOCK")});
}

void VirtualDesktop::unlockScreen() { root_->removeProperty("_SCREENSAVER_STATUS"); }

Ending VirtualDesktop::runTool(const std::vector<std::string>& argv, Deadline deadline) {
  return harness::runTool(argv, env(), deadline);
}

std::string VirtualDesktop::outputName() {
  // The first connected output in `xrandr`'s listing: "<name> connected ...".
  const auto listing = runTool({"xrandr"});
  std::istringstream lines(listing.output);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string name;
    std::string state;
    if (words >> name >> state && state == "connected") return name;
  }
  return "screen";
}

bool VirtualDesktop::tryRandrSize(int width, int height) {
  const auto result = runTool({"xrandr", "-s", sizeText(width, height)});
  return result.exitStatus == 0 && screenSize() == ScreenSize{width, height};
}

bool VirtualDesktop::resizeScreen(int width, int height) {
  if (screenSize() == ScreenSize{width, height}) return true;
  if (tryRandrSize(width, height)) return true;
  // Xvfb offers only the size it started with; any other needs a mode of its own first. The
  // mode may exist already from an earlier resize, so a failure to create it is no failure.
  const std::string mode = sizeText(width, height);
  (void)runTool({"xrandr", "--newmode", mode, "0", std::to_string(width), "0", "0", "0",
                 std::to_string(height), "0", "0", "0"});
  (void)runTool({"xrandr", "--addmode", outputName(), mode});
  return tryRandrSize(width, height);
}

void VirtualDesktop::stopAll() {
  root_.reset();
  while (!processes_.empty()) processes_.pop_back();
  if (!runtimeDir_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(runtimeDir_, ignored);
  }
}

}  // namespace kex::harness

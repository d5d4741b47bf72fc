// A private X desktop for tests, the demo and the benchmark: Xvfb, a session bus, the
// accessibility bus and a window manager, in a runtime directory of its own.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/harness/child_process.h"
#include "tools/harness/deadline.h"
#include "tools/harness/x_root.h"

namespace kex::harness {

struct DesktopOptions {
  int width = 1280;
  int height = 800;
  // The test application startApp launches.
  std::string testAppPath = {};
  // Runs the X server as this user (needs root), to stand for another user's session; empty
  // runs it as ourselves.
  std::string serverUser = {};
  // X extensions the server leaves out (Xvfb -extension NAME), to stand for servers without them.
  std::vector<std::string> disabledExtensions = {};
  bool accessibilityBus = true;
  bool windowManager = true;
  std::chrono::seconds startTimeout{30};
};

// A running kex-test-app and what it has said so far. Not thread-safe: one thread drives it.
class TestApp {
 public:
  explicit TestApp(std::unique_ptr<ChildProcess> process) : process_(std::move(process)) {}

  // Reads up to the app's "ready <xid>" line; false when it did not come by the deadline.
  [[nodiscard]] bool waitUntilReady(Deadline deadline);

  [[nodiscard]] std::uint32_t xid() const { return xid_; }
  [[nodiscard]] ChildProcess& process() { return *process_; }
  // The first line after the last one returned that starts with the prefix, reading more of
  // the app's output as needed; every line read is kept in lines(). Nothing at the deadline or
  // when the app has ended.
  [[nodiscard]] std::optional<std::string> waitForLine(std::string_view prefix, Deadline deadline);
  [[nodiscard]] const std::vector<std::string>& lines() const { return lines_; }

 private:
  std::unique_ptr<ChildProcess> process_;
  std::uint32_t xid_ = 0;
  std::vector<std::string> lines_;
  std::size_t unexamined_ = 0;
};

// Owns every process of the desktop and ends them, newest first, when it goes; then removes
// the runtime directory. Throws std::runtime_error from the constructor when a part does not
// come up in time (what was started by then is ended). Not thread-safe: one thread drives it.
class VirtualDesktop {
 public:
  explicit VirtualDesktop(DesktopOptions options = {});
  ~VirtualDesktop();
  VirtualDesktop(const VirtualDesktop&) = delete;
  VirtualDesktop& operator=(const VirtualDesktop&) = delete;

  [[nodiscard]] const std::string& display() const { return display_; }
  [[nodiscard]] const std::string& runtimeDir() const { return runtimeDir_; }
  [[nodiscard]] const std::string& sessionBusAddress() const { return sessionBusAddress_; }
  [[nodiscard]] const std::string& accessibilityBusAddress() const {
    return accessibilityBusAddress_;
  }
  // The environment a program on this desktop gets, as changes to the caller's own.
  [[nodiscard]] EnvChanges env() const;
  // A fresh path in the runtime directory for a log file.
  [[nodiscard]] std::string newLogPath(std::string_view stem);

  // Starts the test application with the arguments and waits for its "ready" line.
  [[nodiscard]] std::unique_ptr<TestApp> startApp(
      const std::vector<std::string>& args,
      Deadline deadline = deadlineIn(std::chrono::seconds(20)));
  // The same for another program that reports its events as the test application does.
  [[nodiscard]] std::unique_ptr<TestApp> startAppAt(
      const std::string& program, const std::vector<std::string>& args,
      Deadline deadline = deadlineIn(std::chrono::seconds(20)));

  // The accessibility bus launcher, which owns org.a11y.Bus on the session bus; nullptr when
  // the desktop has no accessibility bus.
  [[nodiscard]] ChildProcess* accessibilityBusLauncher() { return accessibilityLauncher_; }
  // Ends the launcher with its bus and starts a new one; throws std::runtime_error when the new
  // bus does not answer by the deadline.
  void restartAccessibilityBus(Deadline deadline = deadlineIn(std::chrono::seconds(20)));

  [[nodiscard]] XRoot& root() { return *root_; }
  [[nodiscard]] ScreenSize screenSize() { return root_->size(); }
  // Kills the window manager by its pid with SIGKILL, as a crash ends it, so that it cleans
  // nothing up, and waits until it has left the screen (its supporting window is gone). False
  // when that did not happen by the deadline.
  [[nodiscard]] bool killWindowManager(Deadline deadline = deadlineIn(std::chrono::seconds(10)));
  // Sets _SCREENSAVER_STATUS to LOCK, as a screen locker does.
  void lockScreen();
  void unlockScreen();
  // Resizes the screen with xrandr and reports whether the root window now has that size.
  // The size cannot exceed the one the desktop started with.
  [[nodiscard]] bool resizeScreen(int width, int height);
  // Runs a tool (xrandr, xprop, ...) against this desktop.
  [[nodiscard]] Ending runTool(const std::vector<std::string>& argv,
                               Deadline deadline = deadlineIn(std::chrono::seconds(10)));

 private:
  void makeRuntimeDir();
  void startXServer(Deadline deadline);
  void startSessionBus(Deadline deadline);
  void startAccessibilityBus(Deadline deadline);
  // Starts a program of the desktop with its standard error in the named log file of the
  // runtime directory; returns the log's path.
  std::string startLogged(std::vector<std::string> argv, std::string_view logName);
  void startWindowManager(Deadline deadline);
  [[nodiscard]] bool tryRandrSize(int width, int height);
  [[nodiscard]] std::string outputName();
  void stopAll();

  DesktopOptions options_;
  std::string runtimeDir_;
  std::string display_;
  std::string sessionBusAddress_;
  std::string accessibilityBusAddress_;
  std::unique_ptr<XRoot> root_;
  ChildProcess* accessibilityLauncher_ = nullptr;  // one of processes_
  // In start order; ended in reverse.
  std::vector<std::unique_ptr<ChildProcess>> processes_;
  ChildProcess* windowManager_ = nullptr;  // one of processes_
  int logCounter_ = 0;
};

}  // namespace kex::harness

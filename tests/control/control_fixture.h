// A computer over the in-memory desktop with one application window that is frontmost and
// focused, its accessible tree, and a release watchdog that records what it is told.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "main/common/failure.h"
#include "main/host/computer.h"
#include "main/session/topology.h"
#include "tests/desktop/memory_desktop.h"

namespace kex::testing {

inline constexpr std::int32_t kAppPid = 300;
inline constexpr char kAppBundle[] = "/usr/bin/demo-app";
inline constexpr char kHostBundle[] = "/usr/lib/kex/kex-host";
inline constexpr platform::Rect kAppFrame{100, 50, 800, 600};

// Records every held set it is told; fails on demand like a watchdog that died, or like one
// that takes the empty set and cannot be told of a press.
class RecordingWatchdog : public WatchdogChannel {
 public:
  struct Log {
    std::vector<std::vector<platform::Event>> exchanges;
    bool failing = false;
    bool refusesPresses = false;
  };
  explicit RecordingWatchdog(std::shared_ptr<Log> log) : log_(std::move(log)) {}

  void exchange(const std::vector<platform::Event>& held) override {
    if (log_->failing || (log_->refusesPresses && !held.empty())) {
      throw Failure(codes::inputWatchdogLost);
    }
    log_->exchanges.push_back(held);
  }

 private:
  std::shared_ptr<Log> log_;
};

// What one request did: its result or failure code, and whether the controller would have
// answered "dispatched" true.
struct Outcome {
  Json result;
  std::string code;  // empty on success
  bool dispatched = false;
};

class ControlTest : public ::testing::Test {
 protected:
  ControlTest() : computer(desktop, gate, safety, ObservationOptions{std::nullopt, kHostBundle}) {
    desktop.addProcess(kAppPid, kAppBundle);
    appWindow = desktop.addWindow(kAppPid, kAppFrame, "Demo", "Demo");
    axWindow = desktop.addAccessibleWindow(appWindow);
    entry = desktop.addElement(kAppPid, axWindow, "AXTextField", "Text");
    desktop.setElementFrame(entry, {112, 100, 300, 30});
    password = desktop.addElement(kAppPid, axWindow, "AXTextField", "Password");
    desktop.element(password).attributes["AXSubrole"] = std::string("AXSecureTextField");
    desktop.setElementFrame(password, {112, 140, 300, 30});
    button = desktop.addElement(kAppPid, axWindow, "AXButton", "OK");
    desktop.setElementFrame(button, {112, 180, 80, 30});
    desktop.setFrontmost(kAppPid);
    desktop.setFocusedWindow(kAppPid, axWindow);
    desktop.setFocusedElement(kAppPid, entry);
  }

  // Runs one request inside a request bracket, as the request loop does.
  Outcome run(const std::string& operation, Json args = Json::object()) {
    args["sessionId"] = computer.sessionId();
    args["topologyRevision"] = topology(desktop.displays());
    Outcome outcome;
    safety.beginRequest(operation);
    try {
      outcome.result = computer.invoke(operation, args);
    } catch (const Failure& failure) {
      outcome.code = failure.code;
    } catch (const platform::PlatformError&) {
      // As the request loop answers any error that is not a Failure.
      outcome.code = codes::nativeOperationFailed;
    }
    outcome.dispatched = safety.requestMayHaveDispatched();
    safety.endRequest();
    return outcome;
  }

  // The failure code of the request, or "succeeded".
  std::string failure(const std::string& operation, Json args = Json::object()) {
    const auto outcome = run(operation, std::move(args));
    return outcome.code.empty() ? "succeeded" : outcome.code;
  }

  Json ok(const std::string& operation, Json args = Json::object()) {
    const auto outcome = run(operation, std::move(args));
    if (!outcome.code.empty()) {
      ADD_FAILURE() << operation << " failed with " << outcome.code;
      return Json::object();
    }
    return outcome.result;
  }

  // Lists windows and returns the target id of the listed window with this title.
  std::string listedTarget(const std::string& title = "Demo") {
    const auto listing = ok("computer.windows");
    for (const auto& window : listing["windows"]) {
      if (window["title"] == title) return window["targetId"];
    }
    ADD_FAILURE() << "no listed window titled " << title;
    return "";
  }

  // A fresh listing and a capture of the titled window, at most maxWidth pixels wide.
  std::string captureOf(const std::string& title = "Demo", int maxWidth = 1024) {
    const auto capture =
        ok("computer.capture", {{"targetId", listedTarget(title)}, {"maxWidth", maxWidth}});
    return capture.value("captureId", "");
  }

  // The node id of the first element with this title in a fresh tree of the window.
  std::string nodeTitled(const std::string& title, const std::string& window = "Demo") {
    const auto tree =
        ok("computer.accessibility", {{"targetId", listedTarget(window)}, {"maxNodes", 64}});
    std::string found;
    std::function<void(const Json&)> visit = [&](const Json& node) {
      if (found.empty() && node.value("title", "") == title && node.contains("nodeId")) {
        found = node["nodeId"];
      }
      if (node.contains("children")) {
        for (const auto& child : node["children"]) visit(child);
      }
    };
    visit(tree["tree"]);
    if (found.empty()) ADD_FAILURE() << "no node titled " << title;
    return found;
  }

  // A window of another application over the given frame, in front of every other.
  std::uint32_t coverWith(platform::Rect frame, std::int32_t pid = 400) {
    desktop.addProcess(pid, "/usr/bin/other-app");
    const auto cover = desktop.addWindow(pid, frame, "Other", "Other");
    const int element = desktop.addAccessibleWindow(cover);
    (void)element;
    desktop.raiseWindow(cover);
    return cover;
  }

  std::size_t count(platform::EventType type) {
    std::size_t n = 0;
    for (const auto& event : desktop.posted()) n += event.type == type ? 1 : 0;
    return n;
  }

  InputSafetyOptions recordingWatchdog() {
    InputSafetyOptions options;
    options.launchWatchdog = [log = watchdog]() -> std::unique_ptr<WatchdogChannel> {
      return std::make_unique<RecordingWatchdog>(log);
    };
    return options;
  }

  std::shared_ptr<RecordingWatchdog::Log> watchdog = std::make_shared<RecordingWatchdog::Log>();
  MemoryDesktop desktop;
  SessionGate gate{desktop.session()};
  InputSafety safety{desktop, gate, recordingWatchdog()};
  Computer computer;
  std::uint32_t appWindow = 0;
  int axWindow = 0;
  int entry = 0;
  int password = 0;
  int button = 0;
};

}  // namespace kex::testing

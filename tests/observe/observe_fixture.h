// A computer over the in-memory desktop with one application window, driven by operation name.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "main/common/failure.h"
#include "main/host/computer.h"
#include "main/session/topology.h"
#include "tests/desktop/memory_desktop.h"

namespace kex::testing {

inline constexpr std::int32_t kAppPid = 300;
inline constexpr char kAppBundle[] = "/usr/bin/demo-app";
inline constexpr char kHostBundle[] = "/usr/lib/kex/kex-host";

class ObserveTest : public ::testing::Test {
 protected:
  explicit ObserveTest(std::optional<std::int32_t> fixturePid = std::nullopt)
      : computer(desktop, gate, safety, ObservationOptions{fixturePid, kHostBundle}) {
    desktop.addProcess(kAppPid, kAppBundle);
    appWindow = desktop.addWindow(kAppPid, {100, 50, 800, 600}, "Demo", "Demo");
  }

  // The operation's result, or the code it failed with.
  std::variant<Json, std::string> call(const std::string& operation, Json args = Json::object()) {
    args["sessionId"] = computer.sessionId();
    args["topologyRevision"] = topology(desktop.displays());
    try {
      return computer.invoke(operation, args);
    } catch (const Failure& failure) {
      return failure.code;
    }
  }

  Json ok(const std::string& operation, Json args = Json::object()) {
    auto outcome = call(operation, std::move(args));
    if (auto* code = std::get_if<std::string>(&outcome)) {
      ADD_FAILURE() << operation << " failed with " << *code;
      return Json::object();
    }
    return std::get<Json>(outcome);
  }

  std::string failure(const std::string& operation, Json args = Json::object()) {
    auto outcome = call(operation, std::move(args));
    if (auto* code = std::get_if<std::string>(&outcome)) return *code;
    return "succeeded";
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

  MemoryDesktop desktop;
  SessionGate gate{desktop.session()};
  InputSafety safety{desktop, gate};
  Computer computer;
  std::uint32_t appWindow = 0;
};

}  // namespace kex::testing

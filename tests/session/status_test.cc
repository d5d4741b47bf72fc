#include "main/session/status.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "main/session/topology.h"
#include "tests/desktop/memory_desktop.h"

namespace kex {
namespace {

using testing::MemoryDesktop;
using testing::Op;
using testing::Permission;

bool buildsEverything(std::string_view) { return true; }

// The controller as the report sees it: ready or not, as the test says, counting the asks.
class ScriptedReadiness final : public ControlReadiness {
 public:
  bool controlReady() override {
    ++asked;
    return ready;
  }

  bool ready = false;
  int asked = 0;
};

class StatusTest : public ::testing::Test {
 protected:
  Json report(std::function<bool(std::string_view)> built = buildsEverything) {
    StatusSources sources{desktop.system(), gate, desktop.displays(), control, std::move(built)};
    return status(sources, "SESSION");
  }

  bool called(Op op) {
    auto calls = desktop.calls();
    return std::find(calls.begin(), calls.end(), op) != calls.end();
  }

  MemoryDesktop desktop;
  SessionGate gate{desktop.session()};
  ScriptedReadiness control;
};

TEST_F(StatusTest, ReportsExactlyTheEightKeysFromThePlatformAndTheSession) {
  const auto result = report();
  std::vector<std::string> keys;
  for (const auto& item : result.items()) keys.push_back(item.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"backend", "controlReady", "limitations", "operations",
                                            "permissions", "sessionId", "sessionState",
                                            "topologyRevision"}));
  EXPECT_EQ(result["sessionId"], "SESSION");
  EXPECT_EQ(result["backend"], "memory");
  EXPECT_EQ(result["sessionState"], "active");
  EXPECT_EQ(result["topologyRevision"], topology(desktop.displays()));
  EXPECT_EQ(result["limitations"].size(), 3u);
  EXPECT_EQ(result["permissions"],
            (Json{{"accessibility", true}, {"capture", true}, {"input", true}}));
}

TEST_F(StatusTest, OffersObservationWhileActiveButNoControlWithoutTheInputMonitor) {
  const auto result = report();
  EXPECT_EQ(result["operations"],
            (Json{"computer.displays", "computer.windows", "computer.capture"}));
  EXPECT_FALSE(result["controlReady"].get<bool>());
}

TEST_F(StatusTest, OffersControlOnlyWhenTheControllerIsReady) {
  control.ready = true;
  const auto ready = report();
  EXPECT_TRUE(ready["controlReady"].get<bool>());
  const auto& operations = ready["operations"];
  for (const char* name : {"computer.focus", "computer.pointer", "computer.keyboard"}) {
    EXPECT_NE(std::find(operations.begin(), operations.end(), name), operations.end()) << name;
  }
  desktop.lockScreen();
  control.asked = 0;
  const auto locked = report();
  EXPECT_FALSE(locked["controlReady"].get<bool>());
  EXPECT_EQ(control.asked, 0);
}

TEST_F(StatusTest, OffersNothingWhileLockedThoughCaptureIsPermitted) {
  desktop.lockScreen();
  const auto result = report();
  EXPECT_TRUE(result["operations"].empty());
  EXPECT_FALSE(result["controlReady"].get<bool>());
  EXPECT_TRUE(result["permissions"]["capture"].get<bool>());
  EXPECT_EQ(result["sessionState"], "locked");
}

TEST_F(StatusTest, WithoutAccessibilitySkipsTheEventAccessQueries) {
  desktop.revoke(Permission::accessibility);
  desktop.clearCalls();
  const auto result = report();
  EXPECT_FALSE(result["permissions"]["input"].get<bool>());
  EXPECT_FALSE(called(Op::postEventAccess));
  EXPECT_FALSE(called(Op::listenEventAccess));
}

TEST_F(StatusTest, WithoutCaptureSupportOffersOnlyTheListings) {
  desktop.setSupport(false, false, true);
  const auto result = report();
  EXPECT_EQ(result["operations"], (Json{"computer.displays", "computer.windows"}));
  EXPECT_FALSE(result["controlReady"].get<bool>());
}

TEST_F(StatusTest, OffersCaptureButNeitherAsksNorOffersControlWithoutWhatControlNeeds) {
  control.ready = true;
  desktop.setSupport(true, true, false);
  const auto result = report();
  EXPECT_EQ(result["operations"],
            (Json{"computer.displays", "computer.windows", "computer.capture"}));
  EXPECT_FALSE(result["controlReady"].get<bool>());
  EXPECT_EQ(control.asked, 0);
  EXPECT_TRUE(result["permissions"]["input"].get<bool>());
  desktop.setSupport(true, true, true);
  EXPECT_TRUE(report()["controlReady"].get<bool>());
}

TEST_F(StatusTest, OffersNoControlWithoutWindowCapturesToTargetIt) {
  control.ready = true;
  desktop.setSupport(true, false, true);
  const auto displaysOnly = report();
  EXPECT_FALSE(displaysOnly["controlReady"].get<bool>());
  EXPECT_EQ(displaysOnly["operations"],
            (Json{"computer.displays", "computer.windows", "computer.capture"}));
  EXPECT_EQ(control.asked, 0);
  desktop.setSupport(false, true, true);
  EXPECT_TRUE(report()["controlReady"].get<bool>());
}

TEST_F(StatusTest, OffersCaptureWhileEitherKindOfCaptureWorks) {
  desktop.setSupport(true, false, true);
  EXPECT_EQ(report()["operations"][2], "computer.capture");
  desktop.setSupport(false, true, true);
  EXPECT_EQ(report()["operations"][2], "computer.capture");
}

TEST_F(StatusTest, NeverOffersAnOperationThisBuildLacks) {
  const auto result = report([](std::string_view name) { return name == "computer.windows"; });
  EXPECT_EQ(result["operations"], (Json{"computer.windows"}));
}

TEST_F(StatusTest, ReportsAnUnreadableDisplayListAsUnavailableAndStillSucceeds) {
  desktop.setFailing(Op::activeDisplays);
  for (const auto permission : {Permission::capture, Permission::accessibility,
                                Permission::postEvents, Permission::listenEvents}) {
    desktop.revoke(permission);
  }
  const auto result = report();
  EXPECT_EQ(result["topologyRevision"], "unavailable");
  EXPECT_TRUE(result["operations"].empty());
}

}  // namespace
}  // namespace kex

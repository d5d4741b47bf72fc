// What a server without one of the extensions kex uses still allows: capture needs only what
// capture reads with, control what control posts and listens with.
#include <string>
#include <vector>

#include "tests/e2e/e2e_fixture.h"

namespace kex::e2e {
namespace {

constexpr auto kSettleTime = std::chrono::seconds(15);

class ExtensionSupportTest : public E2ETest {
 protected:
  static void startWithout(const std::string& extension) {
    harness::DesktopOptions options = defaultDesktopOptions();
    options.disabledExtensions = {extension};
    startDesktop(options);
  }

  [[nodiscard]] json captureOfFirst(const std::string& kind) {
    const json listing = requestFresh(kind == "display" ? "computer.displays" : "computer.windows");
    const json& entries = listing["result"][kind == "display" ? "displays" : "windows"];
    if (!listing.value("ok", false) || entries.empty()) return listing;
    return requestFresh("computer.capture", {{"targetId", entries[0]["targetId"]}});
  }

  // A window capture once the window manager has stopped placing the window.
  [[nodiscard]] json settledWindowCapture() {
    const auto deadline = harness::deadlineIn(kSettleTime);
    json response;
    do {
      response = captureOfFirst("window");
    } while (response.value("error", "") == "target_stale" && !harness::hasPassed(deadline));
    return response;
  }
};

class WithoutRecordE2E : public ExtensionSupportTest {
 public:
  static void SetUpTestSuite() { startWithout("RECORD"); }
};

TEST_F(WithoutRecordE2E, CapturesDisplaysAndWindowsButOffersNoControl) {
  auto app = desktop().startApp({"--title", "No record", "--size", "300x200"});
  const json status = statusResult();
  EXPECT_EQ(status["operations"],
            (json{"computer.displays", "computer.windows", "computer.capture"}));
  EXPECT_EQ(status.value("controlReady", true), false);
  const json display = captureOfFirst("display");
  EXPECT_EQ(display.value("ok", false), true) << display.value("error", "");
  const json window = settledWindowCapture();
  EXPECT_EQ(window.value("ok", false), true) << window.value("error", "");
}

class WithoutCompositeE2E : public ExtensionSupportTest {
 public:
  static void SetUpTestSuite() { startWithout("Composite"); }
};

TEST_F(WithoutCompositeE2E, CapturesDisplaysButRefusesWindowCaptureAsUnsupported) {
  auto app = desktop().startApp({"--title", "No composite", "--size", "300x200"});
  const json status = statusResult();
  EXPECT_EQ(status["operations"],
            (json{"computer.displays", "computer.windows", "computer.capture"}));
  const json display = captureOfFirst("display");
  EXPECT_EQ(display.value("ok", false), true) << display.value("error", "");
  const json window = settledWindowCapture();
  expectFailure(window, "backend_unsupported", helper().lastRequestId());
}

}  // namespace
}  // namespace kex::e2e

// What every end-to-end suite shares: one private desktop per suite, a fresh kex-computer per
// test, and checks on how kex-computer ended.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "tools/harness/helper.h"
#include "tools/harness/virtual_desktop.h"

namespace kex::e2e {

using nlohmann::json;

inline constexpr std::string_view kUnknownOperation = "computer.nothing";

[[nodiscard]] harness::DesktopOptions defaultDesktopOptions();
[[nodiscard]] std::string readFile(const std::string& path);

// The suite's desktop lives from SetUpTestSuite to TearDownTestSuite, so its tests share the
// start-up cost. Runs on the test thread.
class DesktopTest : public ::testing::Test {
 public:
  static void SetUpTestSuite();
  static void TearDownTestSuite();

 protected:
  void SetUp() override;
  [[nodiscard]] static harness::VirtualDesktop& desktop() { return *desktop_; }
  // For suites that want a desktop other than the default one, from their SetUpTestSuite.
  static void startDesktop(const harness::DesktopOptions& options);
  // For suites whose X server runs as nobody, as a display manager's runs as a user of its own.
  // Only root can start it; without root nothing is started, and the tests skip.
  static void startDesktopServedByNobody();

 private:
  static std::unique_ptr<harness::VirtualDesktop> desktop_;
  static std::string startError_;
};

// Each test gets a kex-computer of its own whose standard error goes to a file that must stay
// empty, and which must exit with status 0 when its input ends. Runs on the test thread.
class E2ETest : public DesktopTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  [[nodiscard]] harness::Helper& helper() { return *helper_; }
  [[nodiscard]] std::unique_ptr<harness::Helper> startHelper(const std::string& stderrPath);

  // The status result, asserting the request succeeded.
  [[nodiscard]] json statusResult();
  // An operation with the current sessionId and topologyRevision merged into its args.
  [[nodiscard]] json requestFresh(std::string_view operation, json args = json::object());
  // Ends kex-computer by closing its input (unless it has ended already) and returns its exit
  // status; nothing if it did not end in time.
  [[nodiscard]] std::optional<int> finishHelper();

  std::string stderrPath_;

 private:
  std::unique_ptr<harness::Helper> helper_;
};

// Expects a failure response with that error code and id.
void expectFailure(const json& response, std::string_view error, std::string_view id);

// Restores the screen size when a test that changed it ends, however it ends.
class ScreenSizeRestorer {
 public:
  explicit ScreenSizeRestorer(harness::VirtualDesktop& desktop)
      : desktop_(desktop), size_(desktop.screenSize()) {}
  ~ScreenSizeRestorer() { (void)desktop_.resizeScreen(size_.width, size_.height); }
  ScreenSizeRestorer(const ScreenSizeRestorer&) = delete;
  ScreenSizeRestorer& operator=(const ScreenSizeRestorer&) = delete;

 private:
  harness::VirtualDesktop& desktop_;
  harness::ScreenSize size_;
};

// Unlocks the screen when a test that locked it ends, however it ends.
class ScreenLock {
 public:
  explicit ScreenLock(harness::VirtualDesktop& desktop) : desktop_(desktop) {
    desktop_.lockScreen();
  }
  ~ScreenLock() { release(); }
  ScreenLock(const ScreenLock&) = delete;
  ScreenLock& operator=(const ScreenLock&) = delete;

  void release() {
    if (locked_) desktop_.unlockScreen();
    locked_ = false;
  }

 private:
  harness::VirtualDesktop& desktop_;
  bool locked_ = true;
};

}  // namespace kex::e2e

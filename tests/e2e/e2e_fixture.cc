#include "tests/e2e/e2e_fixture.h"

#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kex::e2e {

std::unique_ptr<harness::VirtualDesktop> DesktopTest::desktop_;
std::string DesktopTest::startError_;

harness::DesktopOptions defaultDesktopOptions() {
  harness::DesktopOptions options;
  options.testAppPath = KEX_TEST_APP_PATH;
  return options;
}

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

void DesktopTest::SetUpTestSuite() { startDesktop(defaultDesktopOptions()); }

void DesktopTest::startDesktop(const harness::DesktopOptions& options) {
  startError_.clear();
  try {
    desktop_ = std::make_unique<harness::VirtualDesktop>(options);
  } catch (const std::exception& error) {
    startError_ = error.what();
  }
}

void DesktopTest::startDesktopServedByNobody() {
  if (::geteuid() != 0) return;
  auto options = defaultDesktopOptions();
  options.serverUser = "nobody";
  startDesktop(options);
}

void DesktopTest::TearDownTestSuite() { desktop_.reset(); }

std::unique_ptr<harness::Helper> E2ETest::startHelper(const std::string& stderrPath) {
  harness::HelperOptions options;
  options.program = KEX_COMPUTER_PATH;
  options.env = desktop().env();
  options.stderrPath = stderrPath;
  return std::make_unique<harness::Helper>(std::move(options));
}

void DesktopTest::SetUp() { ASSERT_TRUE(desktop_) << "no virtual desktop: " << startError_; }

void E2ETest::SetUp() {
  DesktopTest::SetUp();
  if (HasFatalFailure()) return;
  stderrPath_ = desktop().newLogPath("kex-computer-stderr");
  helper_ = startHelper(stderrPath_);
}

std::optional<int> E2ETest::finishHelper() {
  if (!helper_->process().hasExited()) helper_->closeInput();
  return helper_->waitExit(harness::deadlineIn(std::chrono::seconds(10)));
}

void E2ETest::TearDown() {
  if (!helper_) return;
  const auto exitStatus = finishHelper();
  EXPECT_EQ(exitStatus, std::optional<int>(0)) << "kex-computer did not exit cleanly";
  EXPECT_EQ(readFile(stderrPath_), "") << "kex-computer wrote to standard error";
  helper_.reset();
}

json E2ETest::statusResult() {
  const json response = helper_->request("status");
  if (!response.value("ok", false)) {
    ADD_FAILURE() << "status failed: " << response.dump();
    return json::object();
  }
  return response.at("result");
}

json E2ETest::requestFresh(std::string_view operation, json args) {
  const json result = statusResult();
  args["sessionId"] = result.value("sessionId", "");
  args["topologyRevision"] = result.value("topologyRevision", "");
  return helper_->request(operation, args);
}

void expectFailure(const json& response, std::string_view error, std::string_view id) {
  EXPECT_EQ(response.value("ok", true), false) << response.dump();
  EXPECT_EQ(response.value("error", ""), error) << response.dump();
  EXPECT_EQ(response.value("id", ""), id) << response.dump();
  EXPECT_TRUE(response.contains("dispatched") && response["dispatched"].is_boolean())
      << response.dump();
}

}  // namespace kex::e2e

// The session regression self-test a packager runs after installing kex-computer.
#include "tests/e2e/e2e_fixture.h"

namespace kex::e2e {
namespace {

using SelfTestE2E = E2ETest;

TEST_F(SelfTestE2E, SessionSelfTestPrintsImportedKeysAndExitsZero) {
  harness::ChildOptions options;
  options.argv = {KEX_COMPUTER_PATH, "--session-self-test"};
  options.env = desktop().env();
  options.stdoutTo = harness::Stream::pipe;
  const std::string errors = desktop().newLogPath("self-test-stderr");
  options.stderrPath = errors;
  harness::ChildProcess selfTest(std::move(options));

  const harness::Ending ending = selfTest.finish(harness::deadlineIn(std::chrono::seconds(10)));
  EXPECT_EQ(ending.output,
            "session regression passed; imported keys: kCGSSessionUserIDKey, "
            "kCGSSessionOnConsoleKey\n");
  EXPECT_EQ(ending.exitStatus, std::optional<int>(0));
  EXPECT_EQ(readFile(errors), "");
}

}  // namespace
}  // namespace kex::e2e

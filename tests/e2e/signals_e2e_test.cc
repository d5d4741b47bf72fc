// How kex-computer ends: on a signal from its host or at the end of its input, always with
// status 0; SIGUSR1 cancels input without ending it.
#include <signal.h>

#include "tests/e2e/e2e_fixture.h"

namespace kex::e2e {
namespace {

using SignalsE2E = E2ETest;

constexpr auto kExitDeadline = std::chrono::seconds(10);

// A status round trip proves kex-computer has set up its signal handling before we signal it.
void expectExitZeroOn(harness::Helper& helper, int signo) {
  ASSERT_EQ(helper.request("status").value("ok", false), true);
  ASSERT_TRUE(helper.process().signal(signo));
  EXPECT_EQ(helper.waitExit(harness::deadlineIn(kExitDeadline)), std::optional<int>(0));
}

TEST_F(SignalsE2E, ExitsWithStatusZeroOnSigterm) { expectExitZeroOn(helper(), SIGTERM); }

TEST_F(SignalsE2E, ExitsWithStatusZeroOnSigint) { expectExitZeroOn(helper(), SIGINT); }

TEST_F(SignalsE2E, ExitsWithStatusZeroOnSighup) { expectExitZeroOn(helper(), SIGHUP); }

TEST_F(SignalsE2E, ExitsWithStatusZeroAtEndOfInput) {
  ASSERT_EQ(helper().request("status").value("ok", false), true);
  helper().closeInput();
  EXPECT_EQ(helper().waitExit(harness::deadlineIn(kExitDeadline)), std::optional<int>(0));
  EXPECT_FALSE(helper().readResponseLine(harness::deadlineIn(std::chrono::seconds(2))));
}

TEST_F(SignalsE2E, KeepsAnsweringAfterSigusr1) {
  ASSERT_EQ(helper().request("status").value("ok", false), true);
  ASSERT_TRUE(helper().process().signal(SIGUSR1));

  const json status = helper().request("status");
  EXPECT_EQ(status.value("id", ""), helper().lastRequestId());
  EXPECT_EQ(status.value("ok", false), true) << status.dump();
  const json refused = requestFresh(kUnknownOperation);
  expectFailure(refused, "capability_unavailable", helper().lastRequestId());
  EXPECT_FALSE(helper().process().hasExited());
}

}  // namespace
}  // namespace kex::e2e

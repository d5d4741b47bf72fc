#include "main/host/process_entry.h"

#include <gtest/gtest.h>

namespace kex {
namespace {

TEST(ProcessEntry, TheReleaseWatchdogWinsWhateverTheOrder) {
  EXPECT_EQ(chooseMode({"kex-computer", "--release-watchdog", "--session-self-test"}),
            ProcessMode::releaseWatchdog);
  EXPECT_EQ(chooseMode({"kex-computer", "--session-self-test", "--release-watchdog"}),
            ProcessMode::releaseWatchdog);
}

TEST(ProcessEntry, FindsTheSelfTestAnywhereInTheArguments) {
  EXPECT_EQ(chooseMode({"kex-computer", "x", "--session-self-test"}), ProcessMode::sessionSelfTest);
}

TEST(ProcessEntry, ComparesArgumentsExactly) {
  EXPECT_EQ(chooseMode({"kex-computer", "--release-watchdogX"}), ProcessMode::requestLoop);
  EXPECT_EQ(chooseMode({"kex-computer", "--Session-Self-Test"}), ProcessMode::requestLoop);
  EXPECT_EQ(chooseMode({"kex-computer", "--fixture-pid", "42"}), ProcessMode::requestLoop);
  EXPECT_EQ(chooseMode({"kex-computer"}), ProcessMode::requestLoop);
}

TEST(FixturePid, ParsesTheArgumentAfterTheFirstFlag) {
  EXPECT_EQ(parseFixturePid({"kex", "--fixture-pid", "42"}), 42);
  EXPECT_EQ(parseFixturePid({"kex", "--fixture-pid", "42", "--fixture-pid", "7"}), 42);
  EXPECT_EQ(parseFixturePid({"kex", "--fixture-pid", "-3"}), -3);
  EXPECT_EQ(parseFixturePid({"kex", "--fixture-pid", "abc"}), -1);
  EXPECT_EQ(parseFixturePid({"kex", "--fixture-pid", ""}), -1);
  EXPECT_EQ(parseFixturePid({"kex", "--fixture-pid", "2147483648"}), -1);
  EXPECT_EQ(parseFixturePid({"kex", "--fixture-pid", "12x"}), -1);
  EXPECT_EQ(parseFixturePid({"kex", "--fixture-pid"}), std::nullopt);
  EXPECT_EQ(parseFixturePid({"kex"}), std::nullopt);
}

}  // namespace
}  // namespace kex

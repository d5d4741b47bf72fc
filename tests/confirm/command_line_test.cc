#include "command_line.h"

#include <gtest/gtest.h>

namespace kex::confirm {
namespace {

TEST(ChooseMode, CheckAsTheFirstArgumentAsksForTheAvailabilityCheck) {
  EXPECT_EQ(chooseMode({"--check"}), Mode::availabilityCheck);
}

TEST(ChooseMode, ArgumentsAfterTheFirstAreIgnored) {
  EXPECT_EQ(chooseMode({"--check", "--prompt"}), Mode::availabilityCheck);
  EXPECT_EQ(chooseMode({"approve", "--check"}), Mode::approvalPrompt);
}

TEST(ChooseMode, NoArgumentsAskForThePrompt) { EXPECT_EQ(chooseMode({}), Mode::approvalPrompt); }

TEST(ChooseMode, AnythingButTheExactWordAsksForThePrompt) {
  for (const char* almost : {"--Check", "--check=1", "-check", "check", "--check ", ""}) {
    EXPECT_EQ(chooseMode({almost}), Mode::approvalPrompt) << '"' << almost << '"';
  }
}

}  // namespace
}  // namespace kex::confirm

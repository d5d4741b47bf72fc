#include "platform/linux/atspi/application_waits.h"

#include <gtest/gtest.h>

#include "platform/linux/atspi/accessibility_element.h"

namespace kex::platform::atspi {
namespace {

using std::chrono::milliseconds;

const ObjectKey kRoot{":1.5", std::string(atspi::kRootPath)};
const ObjectKey kButton{":1.5", "/org/a11y/atspi/accessible/12"};

TEST(ApplicationWaits, HoldsOffASilentApplicationForTheRestOfTheRequestOnly) {
  ApplicationWaits waits;
  waits.beginRequest();
  waits.noteOutcome(":1.5", CallOutcome::replied);
  EXPECT_FALSE(waits.silent(":1.5"));
  waits.noteOutcome(":1.5", CallOutcome::timedOut);
  EXPECT_TRUE(waits.silent(":1.5"));
  // A late answer in the same request does not make it worth waiting for again.
  waits.noteOutcome(":1.5", CallOutcome::replied);
  EXPECT_TRUE(waits.silent(":1.5"));
  EXPECT_FALSE(waits.silent(":1.6"));
  waits.beginRequest();
  EXPECT_FALSE(waits.silent(":1.5"));
}

TEST(ApplicationWaits, GivesTheShortTimeoutToTheApplicationElementAlone) {
  ApplicationWaits waits;
  waits.setApplicationTimeout(":1.5", milliseconds(500));
  EXPECT_EQ(waits.timeoutFor(kRoot), milliseconds(500));
  EXPECT_EQ(waits.timeoutFor(kButton), kStandardApplicationTimeout);
  EXPECT_EQ(waits.applicationTimeout(":1.6"), kStandardApplicationTimeout);
  waits.resetApplicationTimeout(":1.5");
  EXPECT_EQ(waits.timeoutFor(kRoot), kStandardApplicationTimeout);
}

TEST(ApplicationWaits, KeepsEveryTimeoutWithinTheLongestWait) {
  ApplicationWaits waits;
  waits.setApplicationTimeout(":1.5", milliseconds(60'000));
  waits.setStandardTimeout(milliseconds(0));
  EXPECT_EQ(waits.applicationTimeout(":1.5"), kLongestAccessibilityWait);
  EXPECT_EQ(waits.standardTimeout(), milliseconds(1));
}

}  // namespace
}  // namespace kex::platform::atspi

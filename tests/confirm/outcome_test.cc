#include "outcome.h"

#include <gtest/gtest.h>

namespace kex::confirm {
namespace {

TEST(ReportFor, AvailablePrintsAvailableAndSucceeds) {
  const Report report = reportFor(Outcome::available);
  EXPECT_EQ(report.standardOutput, "available\n");
  EXPECT_EQ(report.exitStatus, 0);
}

TEST(ReportFor, VerifiedPrintsVerifiedAndSucceeds) {
  const Report report = reportFor(Outcome::verified);
  EXPECT_EQ(report.standardOutput, "verified\n");
  EXPECT_EQ(report.exitStatus, 0);
}

TEST(ReportFor, RefusedPrintsNothingWithStatusOne) {
  const Report report = reportFor(Outcome::refused);
  EXPECT_EQ(report.standardOutput, "");
  EXPECT_EQ(report.exitStatus, 1);
}

TEST(ReportFor, UnavailablePrintsNothingWithStatusTwo) {
  const Report report = reportFor(Outcome::unavailable);
  EXPECT_EQ(report.standardOutput, "");
  EXPECT_EQ(report.exitStatus, 2);
}

}  // namespace
}  // namespace kex::confirm

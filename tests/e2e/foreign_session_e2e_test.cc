// The session gate when the display belongs to someone else: an X server running as another
// user is no session of ours, and nothing but status is served on it.
#include <unistd.h>

#include "tests/e2e/e2e_fixture.h"

namespace kex::e2e {
namespace {

class ForeignSessionE2E : public E2ETest {
 public:
  // The X server runs as nobody, kex-computer as root.
  static void SetUpTestSuite() { startDesktopServedByNobody(); }

 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the X server as another user";
    E2ETest::SetUp();
  }
};

TEST_F(ForeignSessionE2E, StatusReportsWrongUser) {
  EXPECT_EQ(statusResult().value("sessionState", ""), "wrong_user");
}

TEST_F(ForeignSessionE2E, RefusesOperationsAsSessionUnavailable) {
  const json response = requestFresh(kUnknownOperation);
  expectFailure(response, "session_unavailable", helper().lastRequestId());
}

}  // namespace
}  // namespace kex::e2e

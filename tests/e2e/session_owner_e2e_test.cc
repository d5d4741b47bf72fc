// Whose session the display is: the user of logind's session that holds it, whoever the X
// server runs as. Display managers start Xorg as root for the person's own session.
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>

#include "tests/e2e/e2e_fixture.h"
#include "tools/harness/mock_logind.h"

namespace kex::e2e {
namespace {

constexpr std::uint32_t kNobody = 65534;

class SessionOwnerE2E : public DesktopTest {
 public:
  // The X server runs as nobody; kex-computer as root, the user of the sessions added below.
  static void SetUpTestSuite() { startDesktopServedByNobody(); }

 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the X server as another user";
    DesktopTest::SetUp();
  }

  // A logind whose sessions name the desktop's display, or no display.
  void startLogind(bool sessionsNameTheDisplay) {
    logind_ = std::make_unique<harness::MockLogind>(
        desktop().runtimeDir(), sessionsNameTheDisplay ? desktop().display() : "");
  }

  // The session state a new kex-computer reports, which must then end cleanly and quietly.
  [[nodiscard]] std::string sessionState() {
    harness::HelperOptions options;
    options.program = KEX_COMPUTER_PATH;
    options.env = desktop().env();
    if (logind_) options.env["DBUS_SYSTEM_BUS_ADDRESS"] = logind_->busAddress();
    const std::string stderrPath = desktop().newLogPath("kex-computer-stderr");
    options.stderrPath = stderrPath;
    harness::Helper helper(std::move(options));
    const json response = helper.request("status");
    helper.closeInput();
    EXPECT_EQ(helper.waitExit(harness::deadlineIn(std::chrono::seconds(10))),
              std::optional<int>(0));
    EXPECT_EQ(readFile(stderrPath), "");
    return response.value("result", json::object()).value("sessionState", "");
  }

  std::unique_ptr<harness::MockLogind> logind_;
};

TEST_F(SessionOwnerE2E, TheUserOfTheSessionThatNamesTheDisplayOwnsIt) {
  startLogind(true);
  ASSERT_TRUE(logind_->addSession("c1", "seat0", ::geteuid(), "root", true));
  EXPECT_EQ(sessionState(), "active");
}

TEST_F(SessionOwnerE2E, AnotherUsersSessionThatNamesTheDisplayIsTheWrongUser) {
  startLogind(true);
  ASSERT_TRUE(logind_->addSession("c1", "seat0", kNobody, "nobody", true));
  EXPECT_EQ(sessionState(), "wrong_user");
}

TEST_F(SessionOwnerE2E, WithoutASessionNamingItTheActiveSessionOfTheServersTerminalSeatOwnsIt) {
  startLogind(false);
  ASSERT_TRUE(logind_->addSession("c1", "seat0", ::geteuid(), "root", true));
  // No session names the display and the server runs on no terminal: nobody's session.
  EXPECT_EQ(sessionState(), "wrong_user");
  // Xorg says which virtual terminal it runs on.
  desktop().root().setProperty32("XFree86_VT", "INTEGER", {7});
  const std::string onTerminal = sessionState();
  desktop().root().removeProperty("XFree86_VT");
  EXPECT_EQ(onTerminal, "active");
}

TEST_F(SessionOwnerE2E, WithoutLogindTheServersUserOwnsTheDisplay) {
  EXPECT_EQ(sessionState(), "wrong_user");
}

}  // namespace
}  // namespace kex::e2e

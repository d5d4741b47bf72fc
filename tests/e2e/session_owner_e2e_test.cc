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

  // A kex-computer that finds its system bus at the address; logind's when it runs.
  [[nodiscard]] harness::HelperOptions helperOptions(const std::string& systemBusAddress) {
    harness::HelperOptions options;
    options.program = KEX_COMPUTER_PATH;
    options.env = desktop().env();
    if (!systemBusAddress.empty()) options.env["DBUS_SYSTEM_BUS_ADDRESS"] = systemBusAddress;
    return options;
  }

  static std::string sessionStateOf(harness::Helper& helper) {
    const json response = helper.request("status");
    return response.value("result", json::object()).value("sessionState", "");
  }

  // The session state a new kex-computer reports, which must then end cleanly and quietly.
  [[nodiscard]] std::string sessionState() {
    harness::HelperOptions options = helperOptions(logind_ ? logind_->busAddress() : "");
    const std::string stderrPath = desktop().newLogPath("kex-computer-stderr");
    options.stderrPath = stderrPath;
    harness::Helper helper(std::move(options));
    const std::string state = sessionStateOf(helper);
    helper.closeInput();
    EXPECT_EQ(helper.waitExit(harness::deadlineIn(std::chrono::seconds(10))),
              std::optional<int>(0));
    EXPECT_EQ(readFile(stderrPath), "");
    return state;
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

// A system bus that was not there when kex-computer first looked is tried again a moment later:
// a logind that comes up afterwards is asked, and its session owns the display from then on.
TEST_F(SessionOwnerE2E, ALogindThatComesUpLaterIsAskedOnceItIsThere) {
  harness::Helper helper(helperOptions("unix:path=" + desktop().runtimeDir() + "/system-bus"));
  // Nothing listens there yet: without logind the X server's user, nobody, owns the display.
  ASSERT_EQ(sessionStateOf(helper), "wrong_user");
  startLogind(true);
  ASSERT_TRUE(logind_->addSession("c1", "seat0", ::geteuid(), "root", true));
  const auto deadline = harness::deadlineIn(std::chrono::seconds(10));
  std::string state = sessionStateOf(helper);
  while (state == "wrong_user" && !harness::hasPassed(deadline)) state = sessionStateOf(helper);
  EXPECT_EQ(state, "active");
}

}  // namespace
}  // namespace kex::e2e

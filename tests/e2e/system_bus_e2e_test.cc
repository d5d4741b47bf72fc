// kex-computer's descriptors while the system bus it asks about the login session restarts
// again and again.
#include <dirent.h>

#include <memory>
#include <string>

#include "tests/e2e/e2e_fixture.h"

namespace kex::e2e {
namespace {

constexpr int kRestarts = 100;

int descriptorCount(pid_t pid) {
  const std::string directory = "/proc/" + std::to_string(pid) + "/fd";
  DIR* fds = ::opendir(directory.c_str());
  if (fds == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = ::readdir(fds)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(fds);
  return count;
}

class SystemBusE2E : public DesktopTest {
 protected:
  void SetUp() override {
    DesktopTest::SetUp();
    if (HasFatalFailure()) return;
    address_ = "unix:path=" + desktop().runtimeDir() + "/system-bus-socket";
  }

  // A bus daemon at the address, once it says it listens.
  [[nodiscard]] std::unique_ptr<harness::ChildProcess> startBus() {
    harness::ChildOptions options;
    options.argv = {"dbus-daemon", "--session", "--nofork", "--address=" + address_,
                    "--print-address=1"};
    options.env = desktop().env();
    options.stdoutTo = harness::Stream::pipe;
    options.stderrPath = desktop().newLogPath("system-bus");
    auto bus = std::make_unique<harness::ChildProcess>(std::move(options));
    const auto printed = bus->readLine(harness::deadlineIn(std::chrono::seconds(10)));
    EXPECT_TRUE(printed && !printed->empty()) << "the bus did not start";
    return bus;
  }

  [[nodiscard]] std::unique_ptr<harness::Helper> startHelper() {
    harness::HelperOptions options;
    options.program = KEX_COMPUTER_PATH;
    options.env = desktop().env();
    options.env["DBUS_SYSTEM_BUS_ADDRESS"] = address_;
    options.stderrPath = desktop().newLogPath("kex-computer-stderr");
    return std::make_unique<harness::Helper>(std::move(options));
  }

  std::string address_;
};

TEST_F(SystemBusE2E, KeepsItsDescriptorCountFlatOverAHundredSystemBusRestarts) {
  auto bus = startBus();
  const auto helper = startHelper();
  // The first requests connect to every bus the helper uses.
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(helper->request("status").value("ok", false));
  const int before = descriptorCount(helper->process().pid());
  ASSERT_GT(before, 0);
  for (int i = 0; i < kRestarts; ++i) {
    bus.reset();
    bus = startBus();
    ASSERT_TRUE(helper->request("status").value("ok", false)) << "restart " << i;
  }
  EXPECT_EQ(descriptorCount(helper->process().pid()), before);
  helper->closeInput();
  EXPECT_EQ(helper->waitExit(harness::deadlineIn(std::chrono::seconds(10))), 0);
}

}  // namespace
}  // namespace kex::e2e

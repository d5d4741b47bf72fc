// kex-confirm as a host runs it: as an ordinary user, against polkitd on a system bus, with a
// test authentication agent standing in for the session's own.
#include <gtest/gtest.h>
#include <polkit/polkit.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "polkit_machine.h"
#include "tools/harness/child_process.h"
#include "tools/harness/deadline.h"

namespace kex::confirm::test {
namespace {

using namespace std::chrono_literals;
using harness::ChildOptions;
using harness::deadlineIn;
using harness::Ending;

constexpr char approvalActionId[] = "org.kex.confirm.approve";
constexpr char approvalRequest[] = "request org.kex.confirm.approve Approve this request in Kex";

enum class Runner { testUser, root };
enum class AgentAnswer { none, rightPassword, wrongPassword, dismiss, never };

struct Confirmation {
  Ending ending;
  // Everything the agent reported after registering, in order.
  std::vector<std::string> agentSaw;
};

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

// Test thread only, like every helper here.
class KexConfirmOnPolkit : public ::testing::Test {
 protected:
  // The machine is prepared by the first test that needs it and put back after the last.
  static void TearDownTestSuite() { PolkitMachine::release(); }

  void SetUp() override {
    try {
      machine_ = &PolkitMachine::prepared();
    } catch (const std::exception& failure) {
      FAIL() << "cannot prepare the machine: " << failure.what();
    }
  }

  // kex-confirm, started but held until release() so an agent can register for its pid first.
  std::unique_ptr<ChildProcess> startConfirm(const std::vector<std::string>& arguments,
                                             Runner runner,
                                             const std::optional<std::string>& busAddress) {
    ChildOptions options = ownEnvironment();
    options.argv = {KEX_CONFIRM_PATH};
    options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
    if (busAddress) options.env["DBUS_SYSTEM_BUS_ADDRESS"] = *busAddress;
    if (runner == Runner::testUser) options.account = machine_->user().account;
    options.start = harness::Start::held;
    return std::make_unique<ChildProcess>(std::move(options));
  }

  // Nothing for AgentAnswer::none; otherwise an agent registered for every given process.
  std::unique_ptr<ChildProcess> startAgent(const std::vector<pid_t>& processes,
                                           AgentAnswer answer) {
    if (answer == AgentAnswer::none) return nullptr;
    ChildOptions options = ownEnvironment();
    options.argv = {KEX_CONFIRM_TEST_AGENT_PATH};
    for (pid_t process : processes) {
      options.argv.push_back("--process");
      options.argv.push_back(std::to_string(process));
    }
    options.argv.push_back("--answer");
    options.argv.push_back(answerWord(answer));
    options.stdinFrom = harness::Stream::pipe;
    auto agent = std::make_unique<ChildProcess>(std::move(options));
    (void)agent->writeLine(passwordFor(answer));
    agent->closeStdin();
    const std::optional<std::string> first = agent->readLine(deadlineIn(15s));
    if (first != "registered") {
      ADD_FAILURE() << "the agent did not register: " << agent->terminate(5s).errors;
    }
    return agent;
  }

  // What kex-confirm and the agent both start from: a small environment of their own, nothing
  // inherited from whoever runs the tests but a sanitizer build's settings (so that their reports
  // land with everyone else's), and both outputs collected.
  static ChildOptions ownEnvironment() {
    ChildOptions options{.env = {{"PATH", "/usr/bin:/bin"}, {"LANG", "C"}},
                         .envBase = harness::EnvBase::empty,
                         .stdoutTo = harness::Stream::pipe,
                         .stderrTo = harness::Stream::pipe};
    for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
      if (const char* value = std::getenv(name)) options.env[name] = value;
    }
    return options;
  }

  Confirmation confirm(const std::vector<std::string>& arguments, AgentAnswer answer,
                       Runner runner = Runner::testUser,
                       const std::optional<std::string>& busAddress = std::nullopt) {
    std::unique_ptr<ChildProcess> confirmation = startConfirm(arguments, runner, busAddress);
    std::unique_ptr<ChildProcess> agent = startAgent({confirmation->pid()}, answer);
    confirmation->release();
    return {confirmation->finish(deadlineIn(20s)), agentReport(agent)};
  }

  static std::vector<std::string> agentReport(const std::unique_ptr<ChildProcess>& agent) {
    if (!agent) return {};
    return linesOf(agent->terminate(5s).output);
  }

  static const char* answerWord(AgentAnswer answer) {
    switch (answer) {
      case AgentAnswer::dismiss:
        return "cancel";
      case AgentAnswer::never:
        return "wait";
      default:
        return "password";
    }
  }

  std::string passwordFor(AgentAnswer answer) const {
    if (answer == AgentAnswer::rightPassword) return machine_->user().password;
    return machine_->user().password + "-wrong";
  }

  static void expectAnswer(const Ending& ending, const std::string& output, int status) {
    EXPECT_EQ(ending.exitStatus, std::optional<int>(status));
    EXPECT_EQ(ending.output, output);
    EXPECT_EQ(ending.errors, "") << "kex-confirm must keep standard error empty";
  }

  PolkitMachine* machine_ = nullptr;
};

TEST_F(KexConfirmOnPolkit, CheckReportsAvailableWithoutPromptingAnyone) {
  const Confirmation run = confirm({"--check"}, AgentAnswer::rightPassword);
  expectAnswer(run.ending, "available\n", 0);
  EXPECT_TRUE(run.agentSaw.empty());
}

TEST_F(KexConfirmOnPolkit, RightPasswordIsReportedAsVerified) {
  const Confirmation run = confirm({}, AgentAnswer::rightPassword);
  expectAnswer(run.ending, "verified\n", 0);
  EXPECT_EQ(run.agentSaw, (std::vector<std::string>{approvalRequest, "completed 1"}));
}

TEST_F(KexConfirmOnPolkit, WrongPasswordIsRefused) {
  const Confirmation run = confirm({}, AgentAnswer::wrongPassword);
  expectAnswer(run.ending, "", 1);
  EXPECT_EQ(run.agentSaw, (std::vector<std::string>{approvalRequest, "completed 0"}));
}

TEST_F(KexConfirmOnPolkit, DismissedPromptIsRefused) {
  const Confirmation run = confirm({}, AgentAnswer::dismiss);
  expectAnswer(run.ending, "", 1);
  EXPECT_EQ(run.agentSaw, (std::vector<std::string>{approvalRequest, "dismissed"}));
}

TEST_F(KexConfirmOnPolkit, PromptWithoutAnAgentCannotBeAsked) {
  const Confirmation run = confirm({}, AgentAnswer::none);
  expectAnswer(run.ending, "", 2);
}

TEST_F(KexConfirmOnPolkit, RootCannotBeAskedInEitherMode) {
  const Confirmation check = confirm({"--check"}, AgentAnswer::rightPassword, Runner::root);
  expectAnswer(check.ending, "", 2);
  EXPECT_TRUE(check.agentSaw.empty());

  const Confirmation prompt = confirm({}, AgentAnswer::rightPassword, Runner::root);
  expectAnswer(prompt.ending, "", 2);
  EXPECT_TRUE(prompt.agentSaw.empty());
}

TEST_F(KexConfirmOnPolkit, WithoutASystemBusNeitherModeCanAsk) {
  const std::string missingBus = "unix:path=/run/kex-confirm-test-no-such-bus/socket";
  const Confirmation check = confirm({"--check"}, AgentAnswer::none, Runner::testUser, missingBus);
  expectAnswer(check.ending, "", 2);

  const Confirmation prompt = confirm({}, AgentAnswer::none, Runner::testUser, missingBus);
  expectAnswer(prompt.ending, "", 2);
}

// Takes kex-confirm's action away from polkit for as long as it lives.
class WithdrawnAction {
 public:
  explicit WithdrawnAction(const PolkitMachine& machine) : machine_(machine) {
    machine_.withdrawApprovalAction(true);
  }
  ~WithdrawnAction() {
    try {
      machine_.withdrawApprovalAction(false);
    } catch (const std::exception& failure) {
      ADD_FAILURE() << failure.what();
    }
  }
  WithdrawnAction(const WithdrawnAction&) = delete;
  WithdrawnAction& operator=(const WithdrawnAction&) = delete;

 private:
  const PolkitMachine& machine_;
};

TEST_F(KexConfirmOnPolkit, WithoutTheActionInstalledNeitherModeCanAsk) {
  const WithdrawnAction withdrawn(*machine_);

  const Confirmation check = confirm({"--check"}, AgentAnswer::rightPassword);
  expectAnswer(check.ending, "", 2);
  EXPECT_TRUE(check.agentSaw.empty());

  const Confirmation prompt = confirm({}, AgentAnswer::rightPassword);
  expectAnswer(prompt.ending, "", 2);
  EXPECT_TRUE(prompt.agentSaw.empty());
}

// A socket that takes connections and never says a word, as a hung system bus would.
class MuteBus {
 public:
  MuteBus() {
    char folder[] = "/tmp/kex-confirm-mute-bus-XXXXXX";
    if (mkdtemp(folder) == nullptr) throw std::runtime_error("mkdtemp failed");
    folder_ = folder;
    const std::string path = folder_ + "/socket";
    listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 8) != 0) {
      throw std::runtime_error("cannot listen on " + path);
    }
    // kex-confirm runs as the test user.
    chmod(folder_.c_str(), 0755);
    chmod(path.c_str(), 0777);
    address_ = "unix:path=" + path;
  }
  ~MuteBus() {
    close(listener_);
    std::filesystem::remove_all(folder_);
  }
  MuteBus(const MuteBus&) = delete;
  MuteBus& operator=(const MuteBus&) = delete;

  [[nodiscard]] const std::string& address() const { return address_; }

 private:
  std::string folder_;
  std::string address_;
  int listener_ = -1;
};

TEST_F(KexConfirmOnPolkit, SystemBusThatNeverAnswersCannotAskOnceTheWaitIsOver) {
  const MuteBus bus;
  const auto started = std::chrono::steady_clock::now();
  const Confirmation run = confirm({"--check"}, AgentAnswer::none, Runner::testUser, bus.address());
  expectAnswer(run.ending, "", 2);
  EXPECT_GE(std::chrono::steady_clock::now() - started, 5s)
      << "kex-confirm gave up at once instead of waiting for the bus";
}

TEST_F(KexConfirmOnPolkit, CheckAsTheSecondArgumentStillPrompts) {
  const Confirmation run = confirm({"approve", "--check"}, AgentAnswer::rightPassword);
  expectAnswer(run.ending, "verified\n", 0);
  EXPECT_EQ(run.agentSaw, (std::vector<std::string>{approvalRequest, "completed 1"}));
}

// One agent serves two runs back to back; an approval that was remembered would let the
// second through without a request reaching the agent.
TEST_F(KexConfirmOnPolkit, EveryRunPromptsAgain) {
  std::unique_ptr<ChildProcess> first = startConfirm({}, Runner::testUser, std::nullopt);
  std::unique_ptr<ChildProcess> second = startConfirm({}, Runner::testUser, std::nullopt);
  std::unique_ptr<ChildProcess> agent =
      startAgent({first->pid(), second->pid()}, AgentAnswer::rightPassword);

  first->release();
  expectAnswer(first->finish(deadlineIn(20s)), "verified\n", 0);
  second->release();
  expectAnswer(second->finish(deadlineIn(20s)), "verified\n", 0);

  EXPECT_EQ(agentReport(agent), (std::vector<std::string>{approvalRequest, "completed 1",
                                                          approvalRequest, "completed 1"}));
}

TEST_F(KexConfirmOnPolkit, StoppedPromptIsWithdrawnAndRefused) {
  std::unique_ptr<ChildProcess> confirmation = startConfirm({}, Runner::testUser, std::nullopt);
  std::unique_ptr<ChildProcess> agent = startAgent({confirmation->pid()}, AgentAnswer::never);
  confirmation->release();
  ASSERT_EQ(agent->readLine(deadlineIn(20s)), std::optional<std::string>(approvalRequest));

  (void)confirmation->signal(SIGTERM);

  expectAnswer(confirmation->finish(deadlineIn(20s)), "", 1);
  EXPECT_EQ(agent->readLine(deadlineIn(20s)), std::optional<std::string>("withdrawn"));
}

// Holds a polkit rule that lets the test user through without a password, and takes it away
// again when the test ends, however it ends. Each time it waits until polkit's answer for the
// probe (a process of the test user that stays alive meanwhile) shows the change.
class PasswordlessGrant {
 public:
  PasswordlessGrant(const PolkitMachine& machine, pid_t probe) : machine_(machine), probe_(probe) {
    machine_.grantApprovalWithoutPassword(true);
    granted_ = machine_.settlesOnQuietAnswer(probe_, true, deadlineIn(15s));
  }
  ~PasswordlessGrant() {
    machine_.grantApprovalWithoutPassword(false);
    EXPECT_TRUE(machine_.settlesOnQuietAnswer(probe_, false, deadlineIn(15s)))
        << "polkit still grants the approval after the rule was removed";
  }
  PasswordlessGrant(const PasswordlessGrant&) = delete;
  PasswordlessGrant& operator=(const PasswordlessGrant&) = delete;

  [[nodiscard]] bool granted() const { return granted_; }

 private:
  const PolkitMachine& machine_;
  const pid_t probe_;
  bool granted_ = false;
};

// Only a fresh password counts: when polkit would say yes without asking anyone (a permissive
// rule, an approval it remembers), nobody is being asked, so neither mode may report success.
TEST_F(KexConfirmOnPolkit, ApprovalGrantedWithoutAPasswordIsNotTakenAsConsent) {
  std::unique_ptr<ChildProcess> probe = startConfirm({}, Runner::testUser, std::nullopt);
  std::unique_ptr<ChildProcess> check = startConfirm({"--check"}, Runner::testUser, std::nullopt);
  std::unique_ptr<ChildProcess> prompt = startConfirm({}, Runner::testUser, std::nullopt);
  std::unique_ptr<ChildProcess> agent =
      startAgent({check->pid(), prompt->pid()}, AgentAnswer::rightPassword);
  const PasswordlessGrant grant(*machine_, probe->pid());
  ASSERT_TRUE(grant.granted()) << "polkit did not take up the rule";

  check->release();
  expectAnswer(check->finish(deadlineIn(20s)), "", 2);
  prompt->release();
  expectAnswer(prompt->finish(deadlineIn(20s)), "", 2);
  EXPECT_TRUE(agentReport(agent).empty());
}

// The action file is what makes polkit ask for the password on every request: "auth_self"
// without "_keep" in all three kinds of session.
TEST_F(KexConfirmOnPolkit, InstalledActionAsksForTheOwnersPasswordEveryTime) {
  const std::optional<RegisteredAction> action = machine_->registeredAction(approvalActionId);
  ASSERT_TRUE(action.has_value());
  EXPECT_EQ(action->message, "Approve this request in Kex");
  EXPECT_EQ(action->implicitAny, POLKIT_IMPLICIT_AUTHORIZATION_AUTHENTICATION_REQUIRED);
  EXPECT_EQ(action->implicitInactive, POLKIT_IMPLICIT_AUTHORIZATION_AUTHENTICATION_REQUIRED);
  EXPECT_EQ(action->implicitActive, POLKIT_IMPLICIT_AUTHORIZATION_AUTHENTICATION_REQUIRED);
}

}  // namespace
}  // namespace kex::confirm::test

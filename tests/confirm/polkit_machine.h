// What kex-confirm's polkit tests need from the machine: a system bus at its standard path that
// starts polkitd on demand, kex-confirm's action registered, and an ordinary user whose
// password the tests know. Prepared once per test process, as root.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "tools/harness/child_process.h"
#include "tools/harness/deadline.h"

namespace kex::confirm::test {

using harness::Account;
using harness::ChildProcess;
using harness::Deadline;

struct TestUser {
  std::string name;
  Account account;
  // Fresh for every test process, so the account's password is never one anybody knows later.
  std::string password;
};

// An action as polkitd reports it.
struct RegisteredAction {
  std::string message;
  // PolkitImplicitAuthorization values for any, inactive and active sessions.
  std::uint32_t implicitAny;
  std::uint32_t implicitInactive;
  std::uint32_t implicitActive;
};

// Test thread only.
class PolkitMachine {
 public:
  // Prepares the machine on first use. Throws std::runtime_error naming what could not be done.
  static PolkitMachine& prepared();
  // Stops the system bus if this process started it; reused ones stay.
  static void release();

  [[nodiscard]] const TestUser& user() const { return user_; }
  // Asks polkitd over a private connection of its own, so closing the bus later cannot take
  // the test process down with it.
  [[nodiscard]] std::optional<RegisteredAction> registeredAction(const std::string& id) const;

  // Takes kex-confirm's action file away, or installs it again, and returns once polkitd's
  // list of actions shows the change. Throws std::runtime_error if it never does.
  void withdrawApprovalAction(bool withdrawn) const;

  // Adds or removes a polkit rule that grants the test user kex-confirm's action without any
  // password, standing in for a remembered approval or a permissive local policy.
  void grantApprovalWithoutPassword(bool granted) const;
  // Whether polkit, asked without user interaction, authorizes the process (which must belong
  // to the test user) by the deadline; it re-asks each time polkitd reloads its rules.
  [[nodiscard]] bool settlesOnQuietAnswer(pid_t process, bool authorized, Deadline deadline) const;

  ~PolkitMachine();

 private:
  PolkitMachine();
  void startSystemBusUnlessRunning();
  void stopSystemBus();
  void waitUntilActionListed(bool listed, Deadline deadline) const;

  std::unique_ptr<ChildProcess> systemBus_;
  TestUser user_;
};

}  // namespace kex::confirm::test

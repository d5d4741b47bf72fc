// A stand-in for logind for tests: python3-dbusmock's logind template on a private bus of its
// own, which a kex-computer reaches as its system bus.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "tools/harness/child_process.h"
#include "tools/harness/deadline.h"

namespace kex::harness {

// Owns the bus and the mock and ends both, mock first, when it goes. Throws std::runtime_error
// from the constructor when either does not come up in time. Not thread-safe: one thread
// drives it.
class MockLogind {
 public:
  // The mock's sessions name display in their Display property; an empty one names none.
  // Logs go to the runtime directory.
  MockLogind(const std::string& runtimeDir, const std::string& display,
             Deadline deadline = deadlineIn(std::chrono::seconds(20)));
  ~MockLogind();
  MockLogind(const MockLogind&) = delete;
  MockLogind& operator=(const MockLogind&) = delete;

  // The value of DBUS_SYSTEM_BUS_ADDRESS for a program that is to find this logind.
  [[nodiscard]] const std::string& busAddress() const { return address_; }

  // Adds a session on the seat, owned by the user, active or not; the seat's active session
  // becomes this one. False when the mock refused.
  [[nodiscard]] bool addSession(const std::string& id, const std::string& seat, std::uint32_t uid,
                                const std::string& user, bool active);

 private:
  [[nodiscard]] Ending send(const std::vector<std::string>& arguments);

  std::string address_;
  std::unique_ptr<ChildProcess> bus_;
  std::unique_ptr<ChildProcess> mock_;
};

}  // namespace kex::harness

// kex-computer as kex-mcp uses it: a child process spoken to over its pipes, one request line
// in, one response line out, with the session and topology arguments kept here and never shown
// to the model.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "mcp/child_process.h"
#include "mcp/helper_reply.h"
#include "mcp/json_rpc.h"

namespace kex::mcp {

inline constexpr std::string_view kHelperProtocol = "kex.computer.helper/v1";

struct ComputerOptions {
  std::string program;  // the kex-computer executable
  EnvironmentChanges environment;
  // A request kex-computer has not answered by then is given up, and the child with it.
  std::chrono::milliseconds responseTimeout{30'000};
};

// What the last "status" said.
struct StatusFacts {
  std::string sessionId;
  std::string topologyRevision;
  std::string sessionState;
  bool controlReady = false;
  bool captureAllowed = false;
  bool accessibilityAllowed = false;
  bool inputAllowed = false;
};

// Thrown when kex-computer cannot answer: it could not be started, it ended, it stayed silent
// past the timeout, or it answered something that is not a response. The child is gone by then;
// the next request starts a new one.
struct HelperUnavailable {
  enum class Reason { notStarted, ended, silent, garbled };
  Reason reason;
  std::string detail;
};

// Worker thread only.
class ComputerLink {
 public:
  explicit ComputerLink(ComputerOptions options);
  ~ComputerLink();
  ComputerLink(const ComputerLink&) = delete;
  ComputerLink& operator=(const ComputerLink&) = delete;

  // Sends the operation with the kept sessionId and topologyRevision added to its arguments
  // (asking "status" first when this child has not been asked yet) and returns the reply.
  // Throws HelperUnavailable.
  [[nodiscard]] HelperReply request(std::string_view operation, Json args);
  // Asks "status" now and keeps what it says. Throws HelperUnavailable.
  const StatusFacts& refreshStatus();
  // The kept facts, asking "status" first when there are none for this child.
  const StatusFacts& facts();

  // Counts the children started so far: what was learnt from or granted to one child (ids,
  // approval) is void for the next.
  [[nodiscard]] std::uint64_t generation() const { return generation_; }
  // Ends the current child; the next request starts a new one.
  void replace();

 private:
  void ensureStarted();
  HelperReply exchange(std::string_view operation, const Json& args);
  [[noreturn]] void giveUp(HelperUnavailable::Reason reason, std::string detail);

  ComputerOptions options_;
  std::unique_ptr<ChildProcess> child_;
  std::optional<StatusFacts> facts_;
  std::uint64_t generation_ = 0;
  std::uint64_t requestCounter_ = 0;
};

}  // namespace kex::mcp

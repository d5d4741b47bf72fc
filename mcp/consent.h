// Asking the person at the computer to approve control, through kex-confirm and the desktop's
// own authentication prompt.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "mcp/call_control.h"

namespace kex::mcp {

enum class ConsentAnswer {
  approved,   // kex-confirm said "verified" and exited 0
  declined,   // exit status 1: the person refused, or failed to authenticate
  noPrompt,   // exit status 2: no prompt can be shown on this desktop
  failed,     // kex-confirm could not be run, or answered something else
  cancelled,  // the tool call was cancelled while the prompt was open; the prompt was closed
};

struct ConsentOutcome {
  ConsentAnswer answer;
  std::string detail;  // for failed: what went wrong
};

// Worker thread only.
class Consent {
 public:
  // The command that runs kex-confirm.
  explicit Consent(std::vector<std::string> command) : command_(std::move(command)) {}

  // Runs kex-confirm and waits for as long as the person takes; `progress` is called now and
  // every 15 seconds while waiting. Cancelling the call ends kex-confirm, and with it the
  // prompt.
  [[nodiscard]] ConsentOutcome ask(CallControl& control,
                                   const std::function<void(const std::string&)>& progress);

 private:
  ConsentOutcome prompt(CallControl& control,
                        const std::function<void(const std::string&)>& progress);

  std::vector<std::string> command_;
};

}  // namespace kex::mcp

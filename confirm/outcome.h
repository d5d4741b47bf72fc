// How kex-confirm's answer reaches the host: a line on standard output and an exit status.
#pragma once

#include <string_view>

namespace kex::confirm {

enum class Outcome {
  // The check found that a prompt can be shown.
  available,
  // The person approved with their own password.
  verified,
  // Authentication failed, was dismissed or cancelled, or something went wrong on the way.
  refused,
  // This machine cannot ask: no system bus, no polkit, no registered action, root, or no prompt
  // would be shown.
  unavailable,
};

struct Report {
  std::string_view standardOutput;
  int exitStatus;
};

// Any thread.
[[nodiscard]] Report reportFor(Outcome outcome);

// Main thread only: writes the report's output and returns its exit status. A failed write
// turns a success into a refusal, since the host would not have seen the word.
[[nodiscard]] int deliver(Outcome outcome);

}  // namespace kex::confirm

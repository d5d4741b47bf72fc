// What kex-confirm was asked to do, read from its command line.
#pragma once

#include <string>
#include <vector>

namespace kex::confirm {

enum class Mode {
  // Report whether a prompt could be shown, without showing one.
  availabilityCheck,
  // Ask the person at the machine to approve.
  approvalPrompt,
};

// Any thread. `arguments` excludes the program name. Only the first one counts, compared
// exactly; everything else, including no arguments at all, asks for the prompt, so a host can
// never turn a prompt into a mere check by how it appends arguments.
[[nodiscard]] Mode chooseMode(const std::vector<std::string>& arguments);

}  // namespace kex::confirm

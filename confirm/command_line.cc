#include "command_line.h"

namespace kex::confirm {

Mode chooseMode(const std::vector<std::string>& arguments) {
  if (!arguments.empty() && arguments.front() == "--check") return Mode::availabilityCheck;
  return Mode::approvalPrompt;
}

}  // namespace kex::confirm

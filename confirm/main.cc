// kex-confirm: asks the person at the machine to approve a request with their own password.
// `kex-confirm --check` only reports whether that can be asked here. The answer is a word on
// standard output and the exit status; standard error stays empty.
#include <csignal>
#include <string>
#include <vector>

#include "command_line.h"
#include "conversation.h"
#include "outcome.h"
#include "silence.h"

// Main thread throughout: the polkit conversation runs its main loop here, and the answer is
// written and the process ended here.
int main(int argc, char** argv) {
  kex::confirm::silenceDiagnostics();
  // A host that stopped reading gets exit status 1 (the word could not be written) rather than
  // a death by SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);
  const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  const kex::confirm::Mode mode = kex::confirm::chooseMode(arguments);
  return kex::confirm::deliver(kex::confirm::converseWithPolkit(mode));
}

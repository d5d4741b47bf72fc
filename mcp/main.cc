// kex-mcp: a Model Context Protocol server over stdio that reaches the desktop through
// kex-computer. See --help.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "mcp/call_queue.h"
#include "mcp/command_line.h"
#include "mcp/computer_link.h"
#include "mcp/consent.h"
#include "mcp/desktop_tools.h"
#include "mcp/line_reader.h"
#include "mcp/mcp_server.h"
#include "mcp/private_desktop.h"
#include "mcp/stdout_channel.h"

namespace {

using namespace kex::mcp;

// The termination signals are read from a signalfd by the main thread's line reader, so they
// must be blocked before any other thread exists (threads inherit the mask).
int blockTerminationSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  for (int signo : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&signals, signo);
  ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  // A client or child that went away shows up as a failed write, not as the end of kex-mcp.
  ::signal(SIGPIPE, SIG_IGN);
  return ::signalfd(-1, &signals, SFD_CLOEXEC);
}

void serve(McpServer& server, OutputChannel& output, int signalFd) {
  LineReader reader(STDIN_FILENO, signalFd);
  std::string line;
  for (;;) {
    switch (reader.next(line)) {
      case LineStatus::ended:
        return;
      case LineStatus::oversized:
        output.send(errorMessage(nullptr, rpc_codes::parseError,
                                 "Parse error: the message is longer than 64 MiB"));
        continue;
      case LineStatus::line:
        server.handleLine(line);
        continue;
    }
  }
}

int run(const ServerOptions& options) {
  const int signalFd = blockTerminationSignals();
  StdoutChannel output;
  std::unique_ptr<PrivateDesktop> desktop;
  ComputerOptions computerOptions;
  computerOptions.program = options.computerProgram;
  if (options.desktop == DesktopChoice::privateDesktop) {
    try {
      desktop = std::make_unique<PrivateDesktop>(options.desktopWidth, options.desktopHeight);
    } catch (const std::exception& error) {
      std::fprintf(stderr, "kex-mcp: the private desktop did not come up: %s\n", error.what());
      return 1;
    }
    computerOptions.environment = desktop->environment();
    std::fprintf(stderr, "%s\n", desktop->announcement().c_str());
  }
  {
    ComputerLink computer(computerOptions);
    Consent consent({options.confirmProgram});
    DesktopTools tools(computer, consent,
                       desktop ? ApprovalPolicy::privateDesktop : ApprovalPolicy::askThePerson);
    CallQueue queue(tools);
    McpServer server(output, queue);
    serve(server, output, signalFd);
    // The worker may still be answering through the server: it ends before the server goes.
    queue.shutdown();
  }
  ::close(signalFd);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  const CommandLine command = parseCommandLine(arguments);
  if (std::holds_alternative<ShowHelp>(command)) {
    std::fputs(helpText().c_str(), stdout);
    return 0;
  }
  if (std::holds_alternative<ShowVersion>(command)) {
    std::printf("kex-mcp %s\n", std::string(kServerVersion).c_str());
    return 0;
  }
  if (const auto* error = std::get_if<UsageError>(&command)) {
    std::fprintf(stderr, "kex-mcp: %s (see kex-mcp --help)\n", error->message.c_str());
    return 2;
  }
  try {
    return run(std::get<ServerOptions>(command));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kex-mcp: %s\n", error.what());
    return 1;
  }
}

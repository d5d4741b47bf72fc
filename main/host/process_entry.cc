#include "main/host/process_entry.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <thread>

#include "main/host/computer.h"
#include "main/host/request_loop.h"
#include "main/safety/control_lock.h"
#include "main/safety/input_safety.h"
#include "main/safety/release_watchdog.h"
#include "main/safety/signal_cancellation.h"
#include "main/safety/watchdog_process.h"
#include "main/session/session_state.h"

// AddressSanitizer builds (gcc says so by a macro, clang by a feature test).
#if defined(__SANITIZE_ADDRESS__)
#define KEX_LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KEX_LEAK_CHECKED 1
#endif
#endif
#if defined(KEX_LEAK_CHECKED)
#include <sanitizer/lsan_interface.h>
#endif

namespace kex {
namespace {

bool hasArgument(const std::vector<std::string>& arguments, std::string_view wanted) {
  return std::find(arguments.begin(), arguments.end(), wanted) != arguments.end();
}

// Ends the process without running destructors: other threads may still be inside the
// controller or the desktop, and everything that had to happen (releases, flushed responses)
// already did. _exit skips the leak check a sanitizer build would run at exit, so that build
// runs it here, where everything still reachable is reachable from the live threads; a leak
// ends the process with LeakSanitizer's own failure status instead.
[[noreturn]] void exitNow(int status) {
#if defined(KEX_LEAK_CHECKED)
  __lsan_do_leak_check();
#endif
  ::_exit(status);
}

// The watchdog is this very executable. /proc/self/exe names it whatever the first argument
// says (a bare name found on PATH, a relative path from another directory) and even after the
// file on disk was replaced.
std::unique_ptr<WatchdogChannel> launchOwnWatchdog() {
  return WatchdogProcess::launch("/proc/self/exe");
}

// The one top-level object of the request-loop mode; it holds all mutable state.
// Built on the main thread, which afterwards only waits.
class RequestLoopMode {
 public:
  RequestLoopMode(std::unique_ptr<platform::Desktop> desktop, ObservationOptions options)
      : desktop_(std::move(desktop)),
        session_(desktop_->session()),
        safety_(*desktop_, session_, {.launchWatchdog = &launchOwnWatchdog}),
        computer_(*desktop_, session_, safety_, std::move(options)),
        loop_(computer_, safety_),
        signals_(safety_, [](int status) { exitNow(status); }) {}

  [[noreturn]] void run() {
    std::jthread requests([this] {
      loop_.run(STDIN_FILENO, STDOUT_FILENO);
      exitNow(0);
    });
    for (;;) ::pause();
  }

 private:
  std::unique_ptr<platform::Desktop> desktop_;
  SessionGate session_;
  InputSafety safety_;
  Computer computer_;
  RequestLoop loop_;
  SignalCancellation signals_;
};

}  // namespace

std::optional<std::int32_t> parseFixturePid(const std::vector<std::string>& args) {
  auto flag = std::find(args.begin(), args.end(), "--fixture-pid");
  if (flag == args.end() || std::next(flag) == args.end()) return std::nullopt;
  std::string_view text = *std::next(flag);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  std::int32_t pid = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), pid);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return -1;
  return pid;
}

ProcessMode chooseMode(const std::vector<std::string>& arguments) {
  if (hasArgument(arguments, "--release-watchdog")) return ProcessMode::releaseWatchdog;
  if (hasArgument(arguments, "--session-self-test")) return ProcessMode::sessionSelfTest;
  return ProcessMode::requestLoop;
}

int runProcess(const std::vector<std::string>& arguments, const DesktopAccess& access,
               const std::string& hostBundleIdentifier) {
  switch (chooseMode(arguments)) {
    case ProcessMode::releaseWatchdog: {
      const uid_t uid = ::getuid();
      releaseWatchdog(access.openEventPoster, controlLockPath(std::getenv("XDG_RUNTIME_DIR"), uid),
                      STDIN_FILENO, STDOUT_FILENO);
      return 0;
    }
    case ProcessMode::sessionSelfTest:
      runSessionSelfTest(&sessionState, static_cast<std::uint32_t>(::getuid()));
      return 0;
    case ProcessMode::requestLoop:
      break;
  }
  // Before the desktop opens: its libraries may start threads, and each must inherit the mask
  // so that only the signal thread ever receives these signals.
  SignalCancellation::blockHandledSignals();
  RequestLoopMode mode(access.openDesktop(), {parseFixturePid(arguments), hostBundleIdentifier});
  mode.run();
}

}  // namespace kex

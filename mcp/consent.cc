#include "mcp/consent.h"

#include <cstdio>
#include <memory>

#include "mcp/child_process.h"
#include "mcp/wakeup.h"

namespace kex::mcp {
namespace {

constexpr auto kProgressInterval = std::chrono::seconds(15);
constexpr const char* kWaitingMessage =
    "Waiting for the person at the computer to approve control in the authentication prompt";

const char* describe(ConsentAnswer answer) {
  switch (answer) {
    case ConsentAnswer::approved:
      return "approved";
    case ConsentAnswer::declined:
      return "declined";
    case ConsentAnswer::noPrompt:
      return "no prompt can be shown";
    case ConsentAnswer::failed:
      return "failed";
    case ConsentAnswer::cancelled:
      return "cancelled by the client";
  }
  return "";
}

ConsentOutcome logged(ConsentOutcome outcome) {
  std::fprintf(stderr, "kex-mcp: approval of control: %s%s%s\n", describe(outcome.answer),
               outcome.detail.empty() ? "" : ": ", outcome.detail.c_str());
  return outcome;
}

ConsentOutcome fromExit(const std::optional<int>& status, bool verified) {
  if (!status) return {ConsentAnswer::failed, "kex-confirm did not end after closing its output"};
  if (*status == 0 && verified) return {ConsentAnswer::approved, ""};
  if (*status == 0) return {ConsentAnswer::failed, "kex-confirm exited 0 without saying verified"};
  if (*status == 1) return {ConsentAnswer::declined, ""};
  if (*status == 2) return {ConsentAnswer::noPrompt, ""};
  return {ConsentAnswer::failed, "kex-confirm exited with status " + std::to_string(*status)};
}

}  // namespace

ConsentOutcome Consent::ask(CallControl& control,
                            const std::function<void(const std::string&)>& progress) {
  std::fprintf(stderr, "kex-mcp: asking the person at the computer to approve control\n");
  return logged(prompt(control, progress));
}

ConsentOutcome Consent::prompt(CallControl& control,
                               const std::function<void(const std::string&)>& progress) {
  std::unique_ptr<ChildProcess> confirm;
  try {
    SpawnOptions options;
    options.argv = command_;
    options.output = OutputPipe::pipe;
    confirm = std::make_unique<ChildProcess>(options);
  } catch (const SpawnError& error) {
    return {ConsentAnswer::failed, error.what()};
  }
  Wakeup wakeup;
  if (!control.setInterrupt([&wakeup] { wakeup.signal(); })) {
    confirm->terminate(Ending::signalFirst);
    return {ConsentAnswer::cancelled, ""};
  }
  progress(kWaitingMessage);
  // kex-confirm's answer is its exit status and at most the one word "verified"; its output
  // ends when it does.
  bool verified = false;
  for (;;) {
    std::string line;
    const ReadOutcome outcome =
        confirm->readLine(line, SteadyClock::now() + kProgressInterval, wakeup.fd());
    if (outcome == ReadOutcome::ended) break;
    if (outcome == ReadOutcome::line) {
      verified = verified || line == "verified";
      continue;
    }
    if (outcome == ReadOutcome::woken && control.cancelled()) {
      control.clearInterrupt();
      confirm->terminate(Ending::signalFirst);
      return {ConsentAnswer::cancelled, ""};
    }
    wakeup.clear();
    progress(kWaitingMessage);
  }
  control.clearInterrupt();
  return fromExit(confirm->waitExit(SteadyClock::now() + std::chrono::seconds(5)), verified);
}

}  // namespace kex::mcp

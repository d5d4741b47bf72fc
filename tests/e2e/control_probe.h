// What the control end-to-end tests share: kex-control-probe driven line by line, and what the
// X server holds down.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/harness/child_process.h"
#include "tools/harness/virtual_desktop.h"

namespace kex::e2e {

// One kex-control-probe on the desktop, launching kex-computer as its release watchdog. Not
// thread-safe: the test thread drives it.
class ControlProbe {
 public:
  explicit ControlProbe(harness::VirtualDesktop& desktop);
  ~ControlProbe();
  ControlProbe(const ControlProbe&) = delete;
  ControlProbe& operator=(const ControlProbe&) = delete;

  // Sends the command and returns its answer line; throws std::runtime_error when none comes.
  std::string command(const std::string& line);
  // The watchdog child's pid, or -1 while there is none.
  [[nodiscard]] pid_t watchdogPid();
  // The counts of own and human inputs the probe's monitor has heard of.
  [[nodiscard]] std::pair<long, long> observed();
  [[nodiscard]] harness::ChildProcess& process() { return *process_; }

  // Ends the probe through its input, as a host does, and waits for it and its watchdog to end;
  // the probe's exit status.
  std::optional<int> finish();

 private:
  std::unique_ptr<harness::ChildProcess> process_;
};

// Waits for a process that need not be our child to end; true once it has.
bool waitForProcessEnd(pid_t pid, harness::Deadline deadline);

// The release watchdog that the process started ("kex-computer --release-watchdog" among its
// children), or -1 when it runs none.
pid_t releaseWatchdogOf(pid_t parent);

// Reaps a process this one adopted (as the subreaper of its orphans) once it ends: its exit
// status, 128 plus the signal number when a signal ended it, or nothing if it did not end in
// time.
std::optional<int> waitForAdoptedExit(pid_t pid, harness::Deadline deadline);

// The keys and buttons the X server holds down, as "key <code>" and "button <n>".
std::vector<std::string> heldInput(harness::VirtualDesktop& desktop);

// Waits until the X server holds nothing down; true when it happened by the deadline.
bool waitUntilNothingHeld(harness::VirtualDesktop& desktop, harness::Deadline deadline);

// What `xinput query-state` reports down on the XTEST keyboard and pointer (through which every
// synthetic key and button goes), e.g. "key[38]=down".
std::vector<std::string> xinputDown(harness::VirtualDesktop& desktop);

}  // namespace kex::e2e

#include "outcome.h"

#include <cstdio>

namespace kex::confirm {

namespace {

constexpr int refusedStatus = 1;

}  // namespace

Report reportFor(Outcome outcome) {
  switch (outcome) {
    case Outcome::available:
      return {"available\n", 0};
    case Outcome::verified:
      return {"verified\n", 0};
    case Outcome::refused:
      return {"", refusedStatus};
    case Outcome::unavailable:
      return {"", 2};
  }
  return {"", refusedStatus};
}

int deliver(Outcome outcome) {
  const Report report = reportFor(outcome);
  if (report.standardOutput.empty()) return report.exitStatus;
  const size_t written =
      std::fwrite(report.standardOutput.data(), 1, report.standardOutput.size(), stdout);
  if (written != report.standardOutput.size() || std::fflush(stdout) != 0) return refusedStatus;
  return report.exitStatus;
}

}  // namespace kex::confirm

#include "main/safety/dispatch_evidence.h"

#include <array>

namespace kex {

bool DispatchEvidence::isTracked(std::string_view operation) {
  static constexpr std::array<std::string_view, 4> tracked = {
      "computer.pointer", "computer.keyboard", "computer.focus", "computer.action"};
  for (auto name : tracked) {
    if (name == operation) return true;
  }
  return false;
}

void DispatchEvidence::begin(std::string_view operation, bool inheritedUncertainty) {
  if (!isTracked(operation)) {
    state_ = State::untracked;
    return;
  }
  state_ = inheritedUncertainty ? State::uncertain : State::pristine;
}

void DispatchEvidence::attempt() {
  if (state_ == State::pristine) state_ = State::attempted;
}

void DispatchEvidence::uncertain() { state_ = State::uncertain; }

void DispatchEvidence::end() { state_ = State::untracked; }

}  // namespace kex

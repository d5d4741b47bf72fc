#include "main/safety/dispatch_evidence.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace kex {
namespace {

using State = DispatchEvidence::State;

// Brings a fresh value into the given state through its own operations.
DispatchEvidence inState(State state) {
  DispatchEvidence evidence;
  switch (state) {
    case State::untracked:
      break;
    case State::pristine:
      evidence.begin("computer.pointer");
      break;
    case State::attempted:
      evidence.begin("computer.pointer");
      evidence.attempt();
      break;
    case State::uncertain:
      evidence.uncertain();
      break;
  }
  EXPECT_EQ(evidence.state(), state);
  return evidence;
}

struct Transition {
  std::string name;
  std::function<void(DispatchEvidence&)> apply;
  State after[4];  // indexed by the state before: untracked, pristine, attempted, uncertain
};

TEST(DispatchEvidence, FollowsTheWholeTransitionTable) {
  using enum DispatchEvidence::State;
  const Transition table[] = {
      {"begin tracked",
       [](auto& e) { e.begin("computer.keyboard"); },
       {pristine, pristine, pristine, pristine}},
      {"begin inherited",
       [](auto& e) { e.begin("computer.focus", true); },
       {uncertain, uncertain, uncertain, uncertain}},
      {"begin untracked",
       [](auto& e) { e.begin("computer.capture"); },
       {untracked, untracked, untracked, untracked}},
      {"attempt", [](auto& e) { e.attempt(); }, {untracked, attempted, attempted, uncertain}},
      {"uncertain", [](auto& e) { e.uncertain(); }, {uncertain, uncertain, uncertain, uncertain}},
      {"end", [](auto& e) { e.end(); }, {untracked, untracked, untracked, untracked}},
  };
  for (const auto& transition : table) {
    for (State before : {untracked, pristine, attempted, uncertain}) {
      auto evidence = inState(before);
      transition.apply(evidence);
      EXPECT_EQ(evidence.state(), transition.after[static_cast<int>(before)])
          << transition.name << " from state " << static_cast<int>(before);
    }
  }
}

TEST(DispatchEvidence, ClaimsNothingDispatchedOnlyWhilePristine) {
  EXPECT_TRUE(inState(State::untracked).mayHaveDispatched());
  EXPECT_FALSE(inState(State::pristine).mayHaveDispatched());
  EXPECT_TRUE(inState(State::attempted).mayHaveDispatched());
  EXPECT_TRUE(inState(State::uncertain).mayHaveDispatched());
}

TEST(DispatchEvidence, TracksExactlyTheFourInputOperationsCaseSensitively) {
  for (const char* name :
       {"computer.pointer", "computer.keyboard", "computer.focus", "computer.action"}) {
    EXPECT_TRUE(DispatchEvidence::isTracked(name)) << name;
  }
  for (const char* name : {"status", "computer.capture", "computer.Pointer", "COMPUTER.POINTER",
                           "computer.pointer ", ""}) {
    DispatchEvidence evidence;
    evidence.begin(name);
    EXPECT_EQ(evidence.state(), State::untracked) << name;
    EXPECT_TRUE(evidence.mayHaveDispatched()) << name;
  }
}

}  // namespace
}  // namespace kex

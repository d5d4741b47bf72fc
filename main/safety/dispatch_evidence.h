// Whether input may have reached the desktop on behalf of the request in progress.
#pragma once

#include <cstdint>
#include <string_view>

namespace kex {

// A four-state value with no lock of its own: its owner, the input-safety controller, changes
// and reads it only under the controller's lock.
class DispatchEvidence {
 public:
  enum class State : std::uint8_t { untracked, pristine, attempted, uncertain };

  // The operations whose evidence is followed; every other name is untracked.
  [[nodiscard]] static bool isTracked(std::string_view operation);

  // Opens a request. The previous state is discarded.
  void begin(std::string_view operation, bool inheritedUncertainty = false);
  // An input is about to be attempted.
  void attempt();
  // The outcome can no longer be known.
  void uncertain();
  // Closes the request.
  void end();

  // False only while a tracked request has attempted nothing and inherited nothing.
  [[nodiscard]] bool mayHaveDispatched() const { return state_ != State::pristine; }
  [[nodiscard]] State state() const { return state_; }

 private:
  State state_ = State::untracked;
};

}  // namespace kex

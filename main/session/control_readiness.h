// What the status report needs to know of the input-safety controller.
#pragma once

namespace kex {

// Implemented by the controller, which lives in a folder above this one; the report asks only
// this, so the session folder never depends on the controller.
class ControlReadiness {
 public:
  virtual ~ControlReadiness() = default;

  // Whether synthetic input can be armed now. Any thread.
  [[nodiscard]] virtual bool controlReady() = 0;
};

}  // namespace kex

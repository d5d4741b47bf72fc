// Lets go of everything an operation registered as held, however the operation ends.
#pragma once

#include "main/safety/input_safety.h"

namespace kex {

// Calls release() on the controller when it goes out of scope, after a success and after any
// failure alike; release() never fails. Request thread only.
class ReleaseAtEnd {
 public:
  explicit ReleaseAtEnd(InputSafety& safety) : safety_(safety) {}
  ~ReleaseAtEnd() { safety_.release(); }
  ReleaseAtEnd(const ReleaseAtEnd&) = delete;
  ReleaseAtEnd& operator=(const ReleaseAtEnd&) = delete;

 private:
  InputSafety& safety_;
};

}  // namespace kex

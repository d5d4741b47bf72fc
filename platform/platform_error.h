// The error a platform service reports in its own terms.
#pragma once

#include <stdexcept>

namespace kex::platform {

// An error that a platform service reported in its own terms. The request loop answers it as
// "native_operation_failed"; its text never reaches the wire.
class PlatformError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace kex::platform

// The wall clock and real sleeps.
#pragma once

#include "platform/clock.h"

namespace kex::platform::linux_desktop {

// Any thread; stateless.
class SystemClock final : public Clock {
 public:
  [[nodiscard]] Timestamp now() override;
  void sleep(Duration duration) override;
};

}  // namespace kex::platform::linux_desktop

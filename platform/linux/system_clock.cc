#include "platform/linux/system_clock.h"

#include <thread>

namespace kex::platform::linux_desktop {

Timestamp SystemClock::now() { return std::chrono::system_clock::now(); }

void SystemClock::sleep(Duration duration) { std::this_thread::sleep_for(duration); }

}  // namespace kex::platform::linux_desktop

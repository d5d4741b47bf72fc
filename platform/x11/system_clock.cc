#include "platform/x11/system_clock.h"

#include <thread>

namespace kex::platform::x11 {

Timestamp SystemClock::now() { return std::chrono::system_clock::now(); }

void SystemClock::sleep(Duration duration) { std::this_thread::sleep_for(duration); }

}  // namespace kex::platform::x11

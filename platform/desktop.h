// The whole desktop boundary: the one object through which the logic reaches the platform.
#pragma once

#include "platform/accessibility.h"
#include "platform/capture.h"
#include "platform/clock.h"
#include "platform/displays.h"
#include "platform/events.h"
#include "platform/platform_error.h"
#include "platform/session.h"
#include "platform/windows.h"

namespace kex::platform {

// The services of one desktop. Each accessor returns a service that lives as long as the
// desktop. Any thread; each service says which threads may call it.
class Desktop {
 public:
  virtual ~Desktop() = default;

  virtual SessionServices& session() = 0;
  virtual SystemServices& system() = 0;
  virtual DisplayServices& displays() = 0;
  virtual WindowServices& windows() = 0;
  virtual CaptureServices& capture() = 0;
  virtual AccessibilityServices& accessibility() = 0;
  virtual EventServices& events() = 0;
  virtual Clock& clock() = 0;
};

}  // namespace kex::platform

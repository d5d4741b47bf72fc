#include "platform/x11/x11_desktop.h"

#include "platform/x11/accessibility_services.h"
#include "platform/x11/connection.h"
#include "platform/x11/dbus_calls.h"
#include "platform/x11/display_list.h"
#include "platform/x11/event_poster.h"
#include "platform/x11/permissions.h"
#include "platform/x11/screen_capture.h"
#include "platform/x11/session_source.h"
#include "platform/x11/system_clock.h"
#include "platform/x11/window_list.h"

namespace kex::platform::x11 {
namespace {

// Any thread, as each of its services. The connection and the buses outlive the services
// that borrow them: members are destroyed in reverse order.
class X11Desktop final : public Desktop {
 public:
  X11Desktop()
      : connection_(Connection::open()),
        session_(connection_.get(), buses_),
        system_(connection_.get(), buses_),
        displays_(connection_.get()),
        windows_(connection_.get(), displays_, showings_),
        capture_(connection_.get(), showings_),
        accessibility_(connection_.get(), buses_),
        events_(connection_.get()) {}

  SessionServices& session() override { return session_; }
  SystemServices& system() override { return system_; }
  DisplayServices& displays() override { return displays_; }
  WindowServices& windows() override { return windows_; }
  CaptureServices& capture() override { return capture_; }
  AccessibilityServices& accessibility() override { return accessibility_; }
  EventServices& events() override { return events_; }
  Clock& clock() override { return clock_; }

 private:
  std::unique_ptr<Connection> connection_;  // nullptr without a display
  BusConnections buses_;
  X11SessionServices session_;
  X11SystemServices system_;
  X11DisplayServices displays_;
  ShowingLog showings_;  // shared by the window list and capture
  X11WindowServices windows_;
  X11CaptureServices capture_;
  X11AccessibilityServices accessibility_;
  X11EventServices events_;
  SystemClock clock_;
};

}  // namespace

std::unique_ptr<Desktop> openDesktop() { return std::make_unique<X11Desktop>(); }

}  // namespace kex::platform::x11

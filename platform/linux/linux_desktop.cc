#include "platform/linux/linux_desktop.h"

#include "platform/linux/atspi/accessibility_services.h"
#include "platform/linux/bus/dbus_calls.h"
#include "platform/linux/permissions.h"
#include "platform/linux/refreshing_events.h"
#include "platform/linux/session/session_source.h"
#include "platform/linux/system_clock.h"
#include "platform/linux/x11/connection.h"
#include "platform/linux/x11/display_list.h"
#include "platform/linux/x11/event_poster.h"
#include "platform/linux/x11/screen_capture.h"
#include "platform/linux/x11/window_list.h"
#include "platform/linux/x11_display_server.h"
#include "platform/linux/x11_window_locator.h"

namespace kex::platform::linux_desktop {
namespace {

// Any thread, as each of its services. The connection and the buses outlive the services
// that borrow them: members are destroyed in reverse order.
class LinuxDesktop final : public Desktop {
 public:
  LinuxDesktop()
      : connection_(x11::Connection::open()),
        displayServer_(connection_.get()),
        windowLocator_(connection_.get()),
        session_(displayServer_, buses_),
        x11Events_(x11::Connection::open()),
        system_(connection_.get(), x11Events_, buses_),
        displays_(connection_.get()),
        windows_(connection_.get(), displays_),
        capture_(connection_.get()),
        accessibility_(windowLocator_, buses_),
        events_(x11Events_, accessibility_) {}

  SessionServices& session() override { return session_; }
  SystemServices& system() override { return system_; }
  DisplayServices& displays() override { return displays_; }
  WindowServices& windows() override { return windows_; }
  CaptureServices& capture() override { return capture_; }
  AccessibilityServices& accessibility() override { return accessibility_; }
  EventServices& events() override { return events_; }
  Clock& clock() override { return clock_; }

 private:
  std::unique_ptr<x11::Connection> connection_;  // nullptr without a display
  bus::BusConnections buses_;
  X11DisplayServer displayServer_;
  X11WindowLocator windowLocator_;
  session::X11SessionServices session_;
  x11::X11EventServices x11Events_;
  X11SystemServices system_;
  x11::X11DisplayServices displays_;
  x11::X11WindowServices windows_;
  x11::X11CaptureServices capture_;
  atspi::X11AccessibilityServices accessibility_;
  RefreshingEvents events_;
  SystemClock clock_;
};

}  // namespace

std::unique_ptr<Desktop> openDesktop() { return std::make_unique<LinuxDesktop>(); }

std::unique_ptr<EventServices> openEventPoster() {
  auto connection = x11::Connection::open();
  if (!connection) return nullptr;
  return std::make_unique<x11::X11EventServices>(std::move(connection));
}

}  // namespace kex::platform::linux_desktop

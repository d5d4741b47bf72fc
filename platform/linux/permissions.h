// What the display and the accessibility bus allow, and the backend's fixed facts.
#pragma once

#include "platform/linux/bus/dbus_calls.h"
#include "platform/linux/x11/connection.h"
#include "platform/session.h"

namespace kex::platform::linux_desktop {

// Any thread. The extension answers were learned at connect time; the accessibility bus is
// asked on every call. Holds no state of its own.
class X11SystemServices final : public SystemServices {
 public:
  // connection is nullptr when no display could be opened.
  X11SystemServices(const x11::Connection* connection, bus::BusConnections& buses);

  [[nodiscard]] bool screenCaptureAccess() override;
  [[nodiscard]] bool accessibilityTrusted() override;
  [[nodiscard]] bool postEventAccess() override;
  [[nodiscard]] bool listenEventAccess() override;
  [[nodiscard]] bool supportsCapture(CaptureKind kind) override;
  [[nodiscard]] bool supportsControl() override;
  [[nodiscard]] std::string backendName() override;
  [[nodiscard]] std::vector<std::string> limitations() override;

 private:
  [[nodiscard]] bool connected() const;

  const x11::Connection* connection_;
  bus::BusConnections& buses_;
};

}  // namespace kex::platform::linux_desktop

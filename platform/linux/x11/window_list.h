// The managed top-level windows of the X server, their owners and their processes.
#pragma once

#include <xcb/xcb.h>

#include <optional>
#include <vector>

#include "platform/displays.h"
#include "platform/linux/x11/connection.h"
#include "platform/linux/x11/window_atoms.h"
#include "platform/windows.h"

namespace kex::platform::x11 {

// Request thread (as the interface requires), though nothing here would mind another: every
// call reads the server afresh, and the atoms are set once in the constructor.
class X11WindowServices final : public WindowServices {
 public:
  // connection is nullptr when no display could be opened. displays lists the monitors.
  X11WindowServices(const Connection* connection, DisplayServices& displays);

  [[nodiscard]] ShareableContent shareableContent() override;
  [[nodiscard]] std::optional<std::vector<LiveWindow>> liveWindow(std::uint32_t windowId) override;
  [[nodiscard]] std::optional<std::string> bundleIdentifierOf(std::int32_t pid) override;
  [[nodiscard]] std::optional<std::int32_t> frontmostProcessId() override;
  [[nodiscard]] bool activateApplication(std::int32_t pid) override;
  [[nodiscard]] std::optional<ProcessRecord> processRecord(std::int32_t pid) override;
  [[nodiscard]] std::int32_t ownProcessId() override;
  [[nodiscard]] std::int32_t parentProcessId() override;

 private:
  // The client windows the window manager manages, front to back. ewmh tells whether the
  // window manager keeps the stacking list (and so takes activation requests).
  struct ManagedClients {
    std::vector<xcb_window_t> windows;
    bool ewmh = false;
  };

  [[nodiscard]] bool connected() const;
  [[nodiscard]] ManagedClients managedClients();
  [[nodiscard]] std::vector<xcb_window_t> clientsByTreeWalk();
  [[nodiscard]] std::vector<WindowInfo> listedWindows(const std::vector<xcb_window_t>& clients);
  [[nodiscard]] std::optional<std::int32_t> focusedClientPid();

  const Connection* connection_;
  DisplayServices& displays_;
  WindowAtoms atoms_;
};

}  // namespace kex::platform::x11

// The session backend's view of the X server: its peer and its screen-saver property.
#pragma once

#include "platform/linux/session/display_server.h"
#include "platform/linux/x11/connection.h"

namespace kex::platform::linux_desktop {

// Any thread: the connection serialises its requests and waits.
class X11DisplayServer final : public session::DisplayServer {
 public:
  // connection is nullptr when no display could be opened.
  explicit X11DisplayServer(const x11::Connection* connection) : connection_(connection) {}

  [[nodiscard]] bool connected() override;
  [[nodiscard]] std::optional<session::DisplayServerPeer> peer() override;
  [[nodiscard]] std::optional<std::uint32_t> localDisplayNumber() override;
  [[nodiscard]] std::optional<std::uint32_t> virtualTerminal() override;
  [[nodiscard]] session::LockAnswer askScreenSaverLocked() override;

 private:
  const x11::Connection* connection_;
};

}  // namespace kex::platform::linux_desktop

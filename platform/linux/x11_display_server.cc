#include "platform/linux/x11_display_server.h"

#include "platform/linux/x11/screen_saver_status.h"
#include "platform/linux/x11/virtual_terminal.h"

namespace kex::platform::linux_desktop {

bool X11DisplayServer::connected() { return connection_ != nullptr && !connection_->broken(); }

std::optional<session::DisplayServerPeer> X11DisplayServer::peer() {
  if (connection_ == nullptr || !connection_->serverPeer()) return std::nullopt;
  const x11::ServerPeer& peer = *connection_->serverPeer();
  return session::DisplayServerPeer{peer.uid, peer.pid};
}

std::optional<std::uint32_t> X11DisplayServer::localDisplayNumber() {
  if (connection_ == nullptr) return std::nullopt;
  return connection_->localDisplayNumber();
}

std::optional<std::uint32_t> X11DisplayServer::virtualTerminal() {
  if (!connected()) return std::nullopt;
  return x11::virtualTerminalOf(*connection_);
}

session::LockAnswer X11DisplayServer::askScreenSaverLocked() {
  if (!connected()) return [] { return std::optional<bool>(); };
  const auto cookie = x11::askScreenSaverStatus(*connection_);
  xcb_flush(connection_->get());
  return [connection = connection_, cookie] {
    return x11::screenSaverStatusLocked(*connection, cookie);
  };
}

}  // namespace kex::platform::linux_desktop

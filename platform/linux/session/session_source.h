// The console session as the X server, logind and the screen savers describe it.
#pragma once

#include <string>

#include "platform/linux/bus/dbus_calls.h"
#include "platform/linux/session/display_server.h"
#include "platform/session.h"
#include "threads/mutex.h"

namespace kex::platform::session {

// The logind session object found last to hold the display, asked first next time. Any thread;
// mutex_ guards path_.
class ServerSessionPath {
 public:
  // Empty when not known yet.
  [[nodiscard]] std::string get();
  void set(const std::string& path);

 private:
  threads::Mutex mutex_;
  std::string path_ GUARDED_BY(mutex_);
};

// Any thread: every call asks the X server and the buses again on the calling thread, so a
// lock shows on the very next call. Only the session's object path is remembered.
class X11SessionServices final : public SessionServices {
 public:
  X11SessionServices(DisplayServer& server, bus::BusConnections& buses);

  [[nodiscard]] std::optional<SessionDescription> currentSession() override;
  [[nodiscard]] std::uint32_t realUserId() override;

 private:
  DisplayServer& server_;
  bus::BusConnections& buses_;
  ServerSessionPath serverSessionPath_;
};

}  // namespace kex::platform::session

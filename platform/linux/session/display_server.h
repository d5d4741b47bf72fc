// What the session backend needs to know of the display server it serves.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

namespace kex::platform::session {

// The process on the other end of the display connection.
struct DisplayServerPeer {
  std::uint32_t uid = 0;
  std::int32_t pid = 0;  // 0 when the server lives outside our process namespace
};

// Whether the display server's own screen-saver state says the screen is locked: true or
// false, or nothing when the server could not be asked (the connection broke).
using LockAnswer = std::function<std::optional<bool>()>;

// Any thread, as the session services that ask it.
class DisplayServer {
 public:
  virtual ~DisplayServer() = default;

  // Whether a connection to the server is open and unbroken.
  [[nodiscard]] virtual bool connected() = 0;

  // Known only for a local connection; it never changes.
  [[nodiscard]] virtual std::optional<DisplayServerPeer> peer() = 0;

  // The number of the display the connection was opened to (":0" is 0), when it is a local
  // display; it never changes.
  [[nodiscard]] virtual std::optional<std::uint32_t> localDisplayNumber() = 0;

  // The virtual terminal the server runs on, asked now; nothing for a server without one.
  [[nodiscard]] virtual std::optional<std::uint32_t> virtualTerminal() = 0;

  // Sends the question and returns at once; the answer is waited for when it is called, so the
  // server answers while other sources are asked.
  [[nodiscard]] virtual LockAnswer askScreenSaverLocked() = 0;
};

}  // namespace kex::platform::session

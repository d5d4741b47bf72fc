// The connection to the X server named by DISPLAY, and what is learned about the server once.
#pragma once

#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>

#include "threads/mutex.h"

namespace kex::platform::x11 {

// Frees an xcb reply or error; they come from malloc.
struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

// The process on the other end of the display socket.
struct ServerPeer {
  std::uint32_t uid = 0;
  std::int32_t pid = 0;  // 0 when the server lives outside our process namespace
};

// Which RandR requests the server answers.
enum class RandrLevel {
  none,      // no RandR: the screen is the only display
  crtcs,     // 1.3: GetScreenResourcesCurrent and CRTCs
  monitors,  // 1.5: GetMonitors
};

// One xcb connection shared by every service. Any thread: xcb serialises requests itself, and
// every other member is set while connecting and never changes afterwards. waitMutex_ lets one
// thread at a time wait for the server: libxcb 1.15 spins forever, holding its own lock, when a
// waiting thread leaves its queue of waiters ahead of an earlier one (as all do when the
// connection breaks).
class Connection {
 public:
  // Nothing when DISPLAY is unset or the server refuses us.
  static std::unique_ptr<Connection> open();

  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  [[nodiscard]] xcb_connection_t* get() const { return connection_; }
  [[nodiscard]] xcb_window_t root() const { return root_; }
  [[nodiscard]] std::uint16_t screenWidth() const { return screenWidth_; }
  [[nodiscard]] std::uint16_t screenHeight() const { return screenHeight_; }

  // The reply to a request, or nothing when the server answered with an error or is gone; the
  // error itself does not matter to any caller. replyFn is the request's xcb_*_reply.
  template <typename T, typename Cookie, typename Fn>
  [[nodiscard]] Reply<T> reply(Cookie cookie, Fn replyFn) const {
    xcb_generic_error_t* error = nullptr;
    Reply<T> answer;
    {
      threads::Lock lock(waitMutex_);
      answer.reset(replyFn(connection_, cookie, &error));
    }
    const bool refused = error != nullptr;
    std::free(error);
    if (refused) answer.reset();
    return answer;
  }

  // Whether a request sent with its _checked variant succeeded.
  bool succeeded(xcb_void_cookie_t cookie) const;

  // The next event (or error of an unchecked request) that has arrived, without waiting;
  // nothing when none has.
  [[nodiscard]] Reply<xcb_generic_event_t> pollEvent() const;
  // Waits until the server may have sent something more, but not past the deadline nor more
  // than a few milliseconds: another thread's wait for a reply may take an event off the
  // socket into xcb's queue, where poll(2) does not see it.
  void awaitInput(std::chrono::steady_clock::time_point deadline) const;

  // The server went away or the stream is corrupt; xcb never recovers from that.
  [[nodiscard]] bool broken() const;

  // The display number of DISPLAY when it names a display of this machine.
  [[nodiscard]] std::optional<std::uint32_t> localDisplayNumber() const {
    return localDisplayNumber_;
  }

  // Only known for a local (AF_UNIX) connection; a connected socket's peer never changes.
  [[nodiscard]] const std::optional<ServerPeer>& serverPeer() const { return peer_; }

  [[nodiscard]] bool hasXTest() const { return hasXTest_; }
  [[nodiscard]] bool hasRecord() const { return hasRecord_; }
  // The server is Xwayland: it sees only the input that X clients' windows receive.
  [[nodiscard]] bool isXwayland() const { return isXwayland_; }
  [[nodiscard]] RandrLevel randr() const { return randr_; }
  // MIT-SHM: images can be read through shared memory (when the server can reach ours).
  [[nodiscard]] bool hasShm() const { return hasShm_; }
  // Composite 0.2 or later: a window's own pixmap can be named.
  [[nodiscard]] bool hasComposite() const { return hasComposite_; }
  // XFixes: the cursor image can be read.
  [[nodiscard]] bool hasXFixes() const { return hasXFixes_; }
  // XFixes 2 or later: regions, which DAMAGE reports into.
  [[nodiscard]] bool hasRegions() const { return hasRegions_; }
  // DAMAGE 1.1 or later: what a client paints can be followed.
  [[nodiscard]] bool hasDamage() const { return hasDamage_; }
  // The response type of DamageNotify.
  [[nodiscard]] std::uint8_t damageNotifyEvent() const { return damageNotifyEvent_; }
  // X-Resource 1.2 or later: the server tells the process id of a window's client.
  [[nodiscard]] bool hasClientPids() const { return hasClientPids_; }

  [[nodiscard]] xcb_atom_t screensaverStatusAtom() const { return screensaverStatusAtom_; }
  [[nodiscard]] xcb_atom_t lockAtom() const { return lockAtom_; }

 private:
  Connection(xcb_connection_t* connection, const xcb_screen_t& screen);

  void readServerPeer();
  void queryExtensions();
  void negotiateVersions();
  void internAtoms();
  [[nodiscard]] xcb_atom_t atomOf(xcb_intern_atom_cookie_t cookie) const;

  xcb_connection_t* connection_;
  mutable threads::Mutex waitMutex_;
  xcb_window_t root_;
  std::uint16_t screenWidth_;
  std::uint16_t screenHeight_;
  std::optional<ServerPeer> peer_;
  std::optional<std::uint32_t> localDisplayNumber_;
  bool hasXTest_ = false;
  bool hasRecord_ = false;
  bool isXwayland_ = false;
  bool hasShm_ = false;
  bool hasComposite_ = false;
  bool hasXFixes_ = false;
  bool hasRegions_ = false;
  bool hasDamage_ = false;
  std::uint8_t damageNotifyEvent_ = 0;
  bool hasClientPids_ = false;
  RandrLevel randr_ = RandrLevel::none;
  xcb_atom_t screensaverStatusAtom_ = XCB_ATOM_NONE;
  xcb_atom_t lockAtom_ = XCB_ATOM_NONE;
};

}  // namespace kex::platform::x11

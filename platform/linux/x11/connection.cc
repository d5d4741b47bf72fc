#include "platform/linux/x11/connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/record.h>
#include <xcb/res.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <string_view>

namespace kex::platform::x11 {
namespace {

const xcb_screen_t* screenAt(xcb_connection_t* c, int number) {
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; it.rem > 0; ++i, xcb_screen_next(&it)) {
    if (i == number) {
      return it.data;
    }
  }
  return nullptr;
}

bool extensionPresent(xcb_connection_t* c, xcb_extension_t* extension) {
  const xcb_query_extension_reply_t* data = xcb_get_extension_data(c, extension);
  return data != nullptr && data->present != 0;
}

xcb_intern_atom_cookie_t internAtom(xcb_connection_t* c, std::string_view name) {
  // Not only-if-exists: the atom must stay valid for a screen saver that starts later.
  return xcb_intern_atom_unchecked(c, 0, static_cast<std::uint16_t>(name.size()), name.data());
}

// "unix:0", ":0.0" and "/tmp/.X11-unix/X0" all name display 0 of this machine; a host name
// does not.
std::optional<std::uint32_t> localDisplayNumberOf(const char* name) {
  char* host = nullptr;
  int number = 0;
  if (xcb_parse_display(name, &host, &number, nullptr) == 0) return std::nullopt;
  const std::string_view hostName = host == nullptr ? "" : host;
  const bool local = hostName.empty() || hostName == "unix" || hostName.front() == '/';
  std::free(host);
  if (!local || number < 0) return std::nullopt;
  return static_cast<std::uint32_t>(number);
}

}  // namespace

std::unique_ptr<Connection> Connection::open() {
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0') {
    return nullptr;
  }
  int screenNumber = 0;
  xcb_connection_t* c = xcb_connect(nullptr, &screenNumber);
  if (xcb_connection_has_error(c) != 0) {
    xcb_disconnect(c);
    return nullptr;
  }
  const xcb_screen_t* screen = screenAt(c, screenNumber);
  if (screen == nullptr) {
    xcb_disconnect(c);
    return nullptr;
  }
  auto connection = std::unique_ptr<Connection>(new Connection(c, *screen));
  connection->localDisplayNumber_ = localDisplayNumberOf(display);
  return connection;
}

Connection::Connection(xcb_connection_t* connection, const xcb_screen_t& screen)
    : connection_(connection),
      root_(screen.root),
      screenWidth_(screen.width_in_pixels),
      screenHeight_(screen.height_in_pixels) {
  readServerPeer();
  queryExtensions();
  internAtoms();
}

Connection::~Connection() { xcb_disconnect(connection_); }

bool Connection::succeeded(xcb_void_cookie_t cookie) const {
  xcb_generic_error_t* error = nullptr;
  {
    threads::Lock lock(waitMutex_);
    error = xcb_request_check(connection_, cookie);
  }
  std::free(error);
  return error == nullptr && !broken();
}

Reply<xcb_generic_event_t> Connection::pollEvent() const {
  threads::Lock lock(waitMutex_);
  return Reply<xcb_generic_event_t>(xcb_poll_for_event(connection_));
}

void Connection::awaitInput(std::chrono::steady_clock::time_point deadline) const {
  constexpr std::chrono::milliseconds kSlice{4};
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  const auto wait = std::clamp(left, std::chrono::milliseconds(0), kSlice);
  pollfd entry{xcb_get_file_descriptor(connection_), POLLIN, 0};
  (void)::poll(&entry, 1, static_cast<int>(wait.count()));
}

bool Connection::broken() const { return xcb_connection_has_error(connection_) != 0; }

void Connection::readServerPeer() {
  const int fd = xcb_get_file_descriptor(connection_);
  sockaddr_storage address{};
  socklen_t addressLength = sizeof address;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &addressLength) != 0 ||
      address.ss_family != AF_UNIX) {
    return;
  }
  ucred credentials{};
  socklen_t credentialsLength = sizeof credentials;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &credentialsLength) != 0 ||
      credentialsLength != sizeof credentials) {
    return;
  }
  peer_ = ServerPeer{credentials.uid, credentials.pid};
}

void Connection::queryExtensions() {
  // Prefetching sends every query before waiting for the first answer. Every extension any
  // service uses must be here: xcb_get_extension_data waits for its answer outside waitMutex_,
  // and each request of an extension looks its opcode up there.
  xcb_prefetch_extension_data(connection_, &xcb_test_id);
  xcb_prefetch_extension_data(connection_, &xcb_record_id);
  xcb_prefetch_extension_data(connection_, &xcb_randr_id);
  xcb_prefetch_extension_data(connection_, &xcb_shm_id);
  xcb_prefetch_extension_data(connection_, &xcb_composite_id);
  xcb_prefetch_extension_data(connection_, &xcb_xfixes_id);
  xcb_prefetch_extension_data(connection_, &xcb_damage_id);
  xcb_prefetch_extension_data(connection_, &xcb_res_id);
  // Xwayland announces itself with an extension of its own, which xcb has no library for.
  constexpr std::string_view kXwayland = "XWAYLAND";
  const auto xwaylandCookie = xcb_query_extension(
      connection_, static_cast<std::uint16_t>(kXwayland.size()), kXwayland.data());
  hasXTest_ = extensionPresent(connection_, &xcb_test_id);
  hasRecord_ = extensionPresent(connection_, &xcb_record_id);
  hasShm_ = extensionPresent(connection_, &xcb_shm_id);
  const auto xwayland =
      reply<xcb_query_extension_reply_t>(xwaylandCookie, xcb_query_extension_reply);
  isXwayland_ = xwayland && xwayland->present != 0;
  negotiateVersions();
}

void Connection::negotiateVersions() {
  // The version requests go out together and are answered in one round trip. XFixes refuses
  // every other request from a client that has not asked its version.
  const bool randrPresent = extensionPresent(connection_, &xcb_randr_id);
  const bool compositePresent = extensionPresent(connection_, &xcb_composite_id);
  const bool xfixesPresent = extensionPresent(connection_, &xcb_xfixes_id);
  const bool resPresent = extensionPresent(connection_, &xcb_res_id);
  const bool damagePresent = extensionPresent(connection_, &xcb_damage_id);
  xcb_randr_query_version_cookie_t randrCookie{};
  xcb_composite_query_version_cookie_t compositeCookie{};
  xcb_xfixes_query_version_cookie_t xfixesCookie{};
  xcb_res_query_version_cookie_t resCookie{};
  xcb_damage_query_version_cookie_t damageCookie{};
  if (randrPresent) {
    randrCookie = xcb_randr_query_version(connection_, 1, 5);
  }
  if (compositePresent) {
    compositeCookie = xcb_composite_query_version(connection_, 0, 4);
  }
  if (xfixesPresent) {
    xfixesCookie = xcb_xfixes_query_version(connection_, 5, 0);
  }
  if (resPresent) {
    resCookie = xcb_res_query_version(connection_, 1, 2);
  }
  // DAMAGE, like XFixes, refuses every other request from a client that has not asked.
  if (damagePresent) {
    damageCookie = xcb_damage_query_version(connection_, 1, 1);
  }
  if (compositePresent) {
    auto composite = reply<xcb_composite_query_version_reply_t>(compositeCookie,
                                                                xcb_composite_query_version_reply);
    hasComposite_ = composite && (composite->major_version > 0 || composite->minor_version >= 2);
  }
  if (xfixesPresent) {
    auto xfixes =
        reply<xcb_xfixes_query_version_reply_t>(xfixesCookie, xcb_xfixes_query_version_reply);
    hasXFixes_ = xfixes && xfixes->major_version >= 1;
    hasRegions_ = xfixes && xfixes->major_version >= 2;
  }
  if (damagePresent) {
    auto damage =
        reply<xcb_damage_query_version_reply_t>(damageCookie, xcb_damage_query_version_reply);
    hasDamage_ = damage && (damage->major_version > 1 ||
                            (damage->major_version == 1 && damage->minor_version >= 1));
    damageNotifyEvent_ = static_cast<std::uint8_t>(
        xcb_get_extension_data(connection_, &xcb_damage_id)->first_event + XCB_DAMAGE_NOTIFY);
  }
  if (resPresent) {
    auto res = reply<xcb_res_query_version_reply_t>(resCookie, xcb_res_query_version_reply);
    hasClientPids_ =
        res && (res->server_major > 1 || (res->server_major == 1 && res->server_minor >= 2));
  }
  if (!randrPresent) {
    return;
  }
  auto version = reply<xcb_randr_query_version_reply_t>(randrCookie, xcb_randr_query_version_reply);
  if (!version || version->major_version != 1) {
    return;
  }
  if (version->minor_version >= 5) {
    randr_ = RandrLevel::monitors;
  } else if (version->minor_version >= 3) {
    randr_ = RandrLevel::crtcs;
  }
}

xcb_atom_t Connection::atomOf(xcb_intern_atom_cookie_t cookie) const {
  auto interned = reply<xcb_intern_atom_reply_t>(cookie, xcb_intern_atom_reply);
  return interned ? interned->atom : xcb_atom_t{XCB_ATOM_NONE};
}

void Connection::internAtoms() {
  const auto statusCookie = internAtom(connection_, "_SCREENSAVER_STATUS");
  const auto lockCookie = internAtom(connection_, "LOCK");
  screensaverStatusAtom_ = atomOf(statusCookie);
  lockAtom_ = atomOf(lockCookie);
}

}  // namespace kex::platform::x11

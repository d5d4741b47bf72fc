#include "platform/linux/session/session_source.h"

#include <unistd.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kex::platform::session {
namespace {

constexpr char kLogindService[] = "org.freedesktop.login1";
constexpr char kLogindPath[] = "/org/freedesktop/login1";
constexpr char kLogindManager[] = "org.freedesktop.login1.Manager";
constexpr char kLogindSession[] = "org.freedesktop.login1.Session";
constexpr char kPropertiesInterface[] = "org.freedesktop.DBus.Properties";

struct ScreenSaverService {
  const char* name;
  const char* path;
};
constexpr ScreenSaverService kScreenSavers[] = {
    {"org.gnome.ScreenSaver", "/org/gnome/ScreenSaver"},
    {"org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver"},
};

// What logind says about the session that holds the display. known is false when logind
// does not run (or does not answer); the other fields stay empty when no session holds it.
struct LogindSession {
  bool known = false;
  std::optional<std::uint32_t> uid;
  std::optional<bool> active;
  std::optional<bool> remote;
  std::optional<bool> lockedHint;
};

// One session as logind describes it.
struct SessionFacts {
  std::string path;
  bool answered = false;
  std::string display;
  std::string seat;
  std::optional<std::uint32_t> uid;
  std::optional<bool> active;
  std::optional<bool> remote;
  std::optional<bool> lockedHint;
};

// How a session was found to hold the display.
enum class Holding { none, byDisplay, bySeat };

// What the buses say, gathered by batches of concurrent calls.
struct BusFacts {
  LogindSession logind;
  bool screenSaverActive = false;
};

std::optional<bool> booleanEntry(GVariant* properties, const char* name) {
  GVariant* value = g_variant_lookup_value(properties, name, G_VARIANT_TYPE_BOOLEAN);
  if (value == nullptr) {
    return std::nullopt;
  }
  const bool result = g_variant_get_boolean(value) != FALSE;
  g_variant_unref(value);
  return result;
}

std::string stringEntry(GVariant* properties, const char* name) {
  GVariant* value = g_variant_lookup_value(properties, name, G_VARIANT_TYPE_STRING);
  if (value == nullptr) return {};
  std::string result = g_variant_get_string(value, nullptr);
  g_variant_unref(value);
  return result;
}

// The seat's name of "Seat" (so) and the user id of "User" (uo).
std::string seatEntry(GVariant* properties) {
  GVariant* value = g_variant_lookup_value(properties, "Seat", G_VARIANT_TYPE("(so)"));
  if (value == nullptr) return {};
  const gchar* seat = nullptr;
  g_variant_get(value, "(&s&o)", &seat, nullptr);
  std::string result = seat;
  g_variant_unref(value);
  return result;
}

std::optional<std::uint32_t> userEntry(GVariant* properties) {
  GVariant* value = g_variant_lookup_value(properties, "User", G_VARIANT_TYPE("(uo)"));
  if (value == nullptr) return std::nullopt;
  guint32 uid = 0;
  g_variant_get(value, "(u&o)", &uid, nullptr);
  g_variant_unref(value);
  return uid;
}

// Every property wanted in one round trip and one message to logind.
void askSessionProperties(bus::CallBatch& batch, GDBusConnection* bus, SessionFacts& session) {
  batch.call(bus,
             {kLogindService, session.path.c_str(), kPropertiesInterface, "GetAll",
              g_variant_new("(s)", kLogindSession), "(a{sv})"},
             [&session](GVariant* reply) {
               if (reply == nullptr) {
                 return;
               }
               GVariant* properties = g_variant_get_child_value(reply, 0);
               session.answered = true;
               session.display = stringEntry(properties, "Display");
               session.seat = seatEntry(properties);
               session.uid = userEntry(properties);
               session.active = booleanEntry(properties, "Active");
               session.remote = booleanEntry(properties, "Remote");
               session.lockedHint = booleanEntry(properties, "LockedHint");
               g_variant_unref(properties);
             });
}

// Lists logind's sessions and, as the list arrives, asks each for its properties. listed
// stays false when logind did not answer.
void askAllSessions(bus::CallBatch& batch, GDBusConnection* bus,
                    std::vector<std::unique_ptr<SessionFacts>>& sessions, bool& listed) {
  batch.call(bus,
             {kLogindService, kLogindPath, kLogindManager, "ListSessions", nullptr, "(a(susso))"},
             [&batch, bus, &sessions, &listed](GVariant* reply) {
               if (reply == nullptr) {
                 return;
               }
               listed = true;
               GVariantIter* entries = nullptr;
               g_variant_get(reply, "(a(susso))", &entries);
               const gchar* path = nullptr;
               while (g_variant_iter_next(entries, "(&su&s&s&o)", nullptr, nullptr, nullptr,
                                          nullptr, &path)) {
                 sessions.push_back(std::make_unique<SessionFacts>());
                 sessions.back()->path = path;
                 askSessionProperties(batch, bus, *sessions.back());
               }
               g_variant_iter_free(entries);
             });
}

// Whether logind's Display names the local display: ":0", ":0.0" and "unix:0" all name
// display 0.
bool namesDisplay(std::string_view display, std::uint32_t number) {
  const std::size_t colon = display.rfind(':');
  if (colon == std::string_view::npos) return false;
  const std::string_view host = display.substr(0, colon);
  if (!host.empty() && host != "unix") return false;
  std::string_view digits = display.substr(colon + 1);
  digits = digits.substr(0, digits.find('.'));
  if (digits.empty() || digits.size() > 9) return false;
  std::uint32_t value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  return value == number;
}

// Only seat0 has virtual terminals.
constexpr char kTerminalSeat[] = "seat0";

Holding holds(const SessionFacts& session, std::optional<std::uint32_t> displayNumber,
              bool serverOnTerminal) {
  if (!session.answered) return Holding::none;
  if (displayNumber && namesDisplay(session.display, *displayNumber)) return Holding::byDisplay;
  if (serverOnTerminal && session.seat == kTerminalSeat && session.active == true) {
    return Holding::bySeat;
  }
  return Holding::none;
}

// The session whose Display names the display, else the active session of the seat whose
// virtual terminal the server runs on; an active one of several naming the display first.
const SessionFacts* holderAmong(const std::vector<std::unique_ptr<SessionFacts>>& sessions,
                                std::optional<std::uint32_t> displayNumber, bool serverOnTerminal) {
  const SessionFacts* named = nullptr;
  const SessionFacts* seated = nullptr;
  for (const auto& session : sessions) {
    const Holding holding = holds(*session, displayNumber, serverOnTerminal);
    if (holding == Holding::byDisplay && (named == nullptr || session->active == true)) {
      if (named == nullptr || named->active != true) named = session.get();
    }
    if (holding == Holding::bySeat && seated == nullptr) seated = session.get();
  }
  return named != nullptr ? named : seated;
}

LogindSession describe(const SessionFacts* holder) {
  LogindSession logind;
  logind.known = true;
  if (holder == nullptr) return logind;
  logind.uid = holder->uid;
  logind.active = holder->active;
  logind.remote = holder->remote;
  logind.lockedHint = holder->lockedHint;
  return logind;
}

// The screen savers the session bus has not reported absent.
std::vector<const ScreenSaverService*> presentScreenSavers(const bus::BusLink* session) {
  std::vector<const ScreenSaverService*> present;
  if (session == nullptr) {
    return present;
  }
  for (const ScreenSaverService& service : kScreenSavers) {
    if (session->mayHaveOwner(service.name)) {
      present.push_back(&service);
    }
  }
  return present;
}

void askScreenSavers(bus::CallBatch& batch, GDBusConnection* bus,
                     const std::vector<const ScreenSaverService*>& services, bool& active) {
  for (const ScreenSaverService* service : services) {
    // Both services name their interface after themselves.
    batch.call(bus, {service->name, service->path, service->name, "GetActive", nullptr, "(b)"},
               [&active](GVariant* reply) {
                 if (reply == nullptr) {
                   return;
                 }
                 gboolean saverActive = FALSE;
                 g_variant_get(reply, "(b)", &saverActive);
                 active = active || saverActive != FALSE;
               });
  }
}

// logind, when it runs.
std::shared_ptr<bus::BusLink> logindBus(bus::BusConnections& buses) {
  std::shared_ptr<bus::BusLink> system = buses.acquire(bus::Bus::system);
  if (!system || !system->mayHaveOwner(kLogindService)) {
    return nullptr;
  }
  return system;
}

// logind and the screen savers are asked at the same time; a service the bus has reported
// absent is not asked at all. The session found last is asked first, and logind's whole list
// only when it no longer holds the display.
BusFacts askBuses(bus::BusConnections& buses, DisplayServer& server, ServerSessionPath& knownPath) {
  BusFacts facts;
  const std::shared_ptr<bus::BusLink> system = logindBus(buses);
  const std::shared_ptr<bus::BusLink> session = buses.acquire(bus::Bus::session);
  const auto screenSavers = presentScreenSavers(session.get());
  if (!system && screenSavers.empty()) {
    return facts;
  }
  const std::optional<std::uint32_t> displayNumber = server.localDisplayNumber();
  SessionFacts cached;
  cached.path = system ? knownPath.get() : std::string();
  {
    bus::CallBatch batch;
    if (!cached.path.empty()) {
      askSessionProperties(batch, system->connection(), cached);
    }
    if (!screenSavers.empty()) {
      askScreenSavers(batch, session->connection(), screenSavers, facts.screenSaverActive);
    }
    batch.wait();
  }
  if (!system) return facts;
  // A session found by its Display holds the display while it names it. One found on the
  // terminal seat is not remembered: a switch of terminals gives the seat another.
  if (cached.answered && holds(cached, displayNumber, false) == Holding::byDisplay) {
    facts.logind = describe(&cached);
    return facts;
  }
  knownPath.set({});
  // The server's terminal is asked only when no session names the display.
  std::vector<std::unique_ptr<SessionFacts>> sessions;
  bool listed = false;
  {
    bus::CallBatch batch;
    askAllSessions(batch, system->connection(), sessions, listed);
    batch.wait();
  }
  if (!listed) {
    return facts;
  }
  const SessionFacts* holder = holderAmong(sessions, displayNumber, false);
  if (holder == nullptr && server.virtualTerminal()) {
    holder = holderAmong(sessions, displayNumber, true);
  }
  if (holder != nullptr && holds(*holder, displayNumber, false) == Holding::byDisplay) {
    knownPath.set(holder->path);
  }
  facts.logind = describe(holder);
  return facts;
}

bool onConsole(const LogindSession& session) {
  // Without logind the connected display is all there is to go by.
  if (!session.known) {
    return true;
  }
  return session.active == true && session.remote == false;
}

// The user of the session that holds the display. The X server's own user stands for it only
// where logind does not run: a display manager starts Xorg as root for the person's session.
std::optional<std::uint32_t> ownerOf(const LogindSession& session,
                                     const std::optional<DisplayServerPeer>& peer) {
  if (session.known) return session.uid;
  if (peer) return peer->uid;
  return std::nullopt;
}

}  // namespace

std::string ServerSessionPath::get() {
  threads::Lock lock(mutex_);
  return path_;
}

void ServerSessionPath::set(const std::string& path) {
  threads::Lock lock(mutex_);
  path_ = path;
}

X11SessionServices::X11SessionServices(DisplayServer& server, bus::BusConnections& buses)
    : server_(server), buses_(buses) {
  buses_.watchName(bus::Bus::system, kLogindService);
  for (const ScreenSaverService& service : kScreenSavers) {
    buses_.watchName(bus::Bus::session, service.name);
  }
}

std::optional<SessionDescription> X11SessionServices::currentSession() {
  if (!server_.connected()) {
    return std::nullopt;
  }
  // The display server answers while the buses are asked.
  const LockAnswer screenSaverLocked = server_.askScreenSaverLocked();
  const std::optional<DisplayServerPeer> peer = server_.peer();
  const BusFacts facts = askBuses(buses_, server_, serverSessionPath_);
  const std::optional<bool> statusLocked = screenSaverLocked();
  if (!statusLocked) {
    return std::nullopt;
  }

  SessionDescription description;
  if (const auto owner = ownerOf(facts.logind, peer)) {
    description[kSessionUserIdKey] = static_cast<std::int64_t>(*owner);
  }
  description[kSessionOnConsoleKey] = onConsole(facts.logind);
  description[kSessionScreenIsLockedKey] =
      *statusLocked || facts.logind.lockedHint == true || facts.screenSaverActive;
  return description;
}

std::uint32_t X11SessionServices::realUserId() { return static_cast<std::uint32_t>(::getuid()); }

}  // namespace kex::platform::session

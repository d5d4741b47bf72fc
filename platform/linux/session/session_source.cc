#include "platform/linux/session/session_source.h"

#include <unistd.h>

#include <memory>
#include <optional>
#include <string>
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

// What logind says about the X server's session. Every field stays empty when logind has no
// session for the server or does not answer.
struct LogindSession {
  bool known = false;
  std::optional<bool> active;
  std::optional<bool> remote;
  std::optional<bool> lockedHint;
};

// What the buses say, gathered by one batch of concurrent calls.
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

// All three properties in one round trip and one message to logind.
void askSessionProperties(bus::CallBatch& batch, GDBusConnection* bus,
                          const std::string& sessionPath, LogindSession& session) {
  session.known = true;
  batch.call(bus,
             {kLogindService, sessionPath.c_str(), kPropertiesInterface, "GetAll",
              g_variant_new("(s)", kLogindSession), "(a{sv})"},
             [&session](GVariant* reply) {
               if (reply == nullptr) {
                 return;
               }
               GVariant* properties = g_variant_get_child_value(reply, 0);
               session.active = booleanEntry(properties, "Active");
               session.remote = booleanEntry(properties, "Remote");
               session.lockedHint = booleanEntry(properties, "LockedHint");
               g_variant_unref(properties);
             });
}

void askSessionOfProcess(bus::CallBatch& batch, GDBusConnection* bus, std::int32_t serverPid,
                         std::string& sessionPath, LogindSession& session) {
  batch.call(bus,
             {kLogindService, kLogindPath, kLogindManager, "GetSessionByPID",
              g_variant_new("(u)", static_cast<guint32>(serverPid)), "(o)"},
             [&batch, bus, &sessionPath, &session](GVariant* reply) {
               if (reply == nullptr) {
                 return;
               }
               const gchar* path = nullptr;
               g_variant_get(reply, "(&o)", &path);
               sessionPath = path;
               askSessionProperties(batch, bus, sessionPath, session);
             });
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

// logind, when it runs and the server's process is visible to it.
std::shared_ptr<bus::BusLink> logindBus(bus::BusConnections& buses,
                                        const std::optional<DisplayServerPeer>& peer) {
  if (!peer || peer->pid <= 0) {
    return nullptr;
  }
  std::shared_ptr<bus::BusLink> system = buses.acquire(bus::Bus::system);
  if (!system || !system->mayHaveOwner(kLogindService)) {
    return nullptr;
  }
  return system;
}

// logind and the screen savers are asked at the same time; a service the bus has reported
// absent is not asked at all.
BusFacts askBuses(bus::BusConnections& buses, const std::optional<DisplayServerPeer>& peer,
                  ServerSessionPath& knownPath) {
  BusFacts facts;
  const std::shared_ptr<bus::BusLink> system = logindBus(buses, peer);
  const std::shared_ptr<bus::BusLink> session = buses.acquire(bus::Bus::session);
  const auto screenSavers = presentScreenSavers(session.get());
  if (!system && screenSavers.empty()) {
    return facts;
  }
  const std::string cachedPath = system ? knownPath.get() : std::string();
  std::string foundPath;
  {
    bus::CallBatch batch;
    if (system && !cachedPath.empty()) {
      askSessionProperties(batch, system->connection(), cachedPath, facts.logind);
    } else if (system) {
      askSessionOfProcess(batch, system->connection(), peer->pid, foundPath, facts.logind);
    }
    if (!screenSavers.empty()) {
      askScreenSavers(batch, session->connection(), screenSavers, facts.screenSaverActive);
    }
    batch.wait();
  }
  if (!foundPath.empty()) {
    knownPath.set(foundPath);
  } else if (!cachedPath.empty() && !facts.logind.active) {
    // logind no longer answers for the session: find the server's session afresh next time.
    knownPath.set({});
  }
  return facts;
}

bool onConsole(const LogindSession& session) {
  // Without logind the connected display is all there is to go by.
  if (!session.known) {
    return true;
  }
  return session.active == true && session.remote == false;
}

}  // namespace

std::string ServerSessionPath::get() {
  std::lock_guard lock(mutex_);
  return path_;
}

void ServerSessionPath::set(const std::string& path) {
  std::lock_guard lock(mutex_);
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
  const BusFacts facts = askBuses(buses_, peer, serverSessionPath_);
  const std::optional<bool> statusLocked = screenSaverLocked();
  if (!statusLocked) {
    return std::nullopt;
  }

  SessionDescription description;
  if (peer) {
    description[kSessionUserIdKey] = static_cast<std::int64_t>(peer->uid);
  }
  description[kSessionOnConsoleKey] = onConsole(facts.logind);
  description[kSessionScreenIsLockedKey] =
      *statusLocked || facts.logind.lockedHint == true || facts.screenSaverActive;
  return description;
}

std::uint32_t X11SessionServices::realUserId() { return static_cast<std::uint32_t>(::getuid()); }

}  // namespace kex::platform::session

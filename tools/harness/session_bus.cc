#include "tools/harness/session_bus.h"

#include <gio/gio.h>

#include <memory>

namespace kex::harness {
namespace {

constexpr const char* kBusName = "org.a11y.Bus";

struct GObjectDeleter {
  void operator()(gpointer object) const { g_object_unref(object); }
};
struct GErrorDeleter {
  void operator()(GError* error) const { g_error_free(error); }
};
struct GVariantDeleter {
  void operator()(GVariant* value) const { g_variant_unref(value); }
};
struct GMainContextDeleter {
  void operator()(GMainContext* context) const { g_main_context_unref(context); }
};

// Pushes a private main context for the lifetime of the object, so the bus signals we watch
// are dispatched only when we iterate it.
class ThreadDefaultContext {
 public:
  ThreadDefaultContext() : context_(g_main_context_new()) {
    g_main_context_push_thread_default(context_.get());
  }
  ~ThreadDefaultContext() { g_main_context_pop_thread_default(context_.get()); }
  ThreadDefaultContext(const ThreadDefaultContext&) = delete;
  ThreadDefaultContext& operator=(const ThreadDefaultContext&) = delete;
  [[nodiscard]] GMainContext* get() const { return context_.get(); }

 private:
  std::unique_ptr<GMainContext, GMainContextDeleter> context_;
};

std::unique_ptr<GDBusConnection, GObjectDeleter> connectTo(const std::string& address) {
  const auto flags =
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);
  GError* error = nullptr;
  GDBusConnection* connection =
      g_dbus_connection_new_for_address_sync(address.c_str(), flags, nullptr, nullptr, &error);
  if (error) g_error_free(error);
  return std::unique_ptr<GDBusConnection, GObjectDeleter>(connection);
}

void onNameAppeared(GDBusConnection*, const gchar*, const gchar*, gpointer appeared) {
  *static_cast<bool*>(appeared) = true;
}

gboolean onTimeout(gpointer expired) {
  *static_cast<bool*>(expired) = true;
  return G_SOURCE_REMOVE;
}

bool waitForOwner(GDBusConnection* connection, GMainContext* context, Deadline deadline) {
  bool appeared = false;
  bool expired = false;
  const guint watch =
      g_bus_watch_name_on_connection(connection, kBusName, G_BUS_NAME_WATCHER_FLAGS_NONE,
                                     onNameAppeared, nullptr, &appeared, nullptr);
  GSource* timer = g_timeout_source_new(static_cast<guint>(millisecondsLeft(deadline)));
  g_source_set_callback(timer, onTimeout, &expired, nullptr);
  g_source_attach(timer, context);
  while (!appeared && !expired) g_main_context_iteration(context, TRUE);
  g_source_destroy(timer);
  g_source_unref(timer);
  g_bus_unwatch_name(watch);
  return appeared;
}

std::optional<std::string> askAddress(GDBusConnection* connection, Deadline deadline) {
  GError* rawError = nullptr;
  GVariant* rawReply = g_dbus_connection_call_sync(
      connection, kBusName, "/org/a11y/bus", "org.a11y.Bus", "GetAddress", nullptr,
      G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NO_AUTO_START, millisecondsLeft(deadline), nullptr,
      &rawError);
  std::unique_ptr<GError, GErrorDeleter> error(rawError);
  std::unique_ptr<GVariant, GVariantDeleter> reply(rawReply);
  if (!reply) return std::nullopt;
  const gchar* address = nullptr;
  g_variant_get(reply.get(), "(&s)", &address);
  if (!address || !*address) return std::nullopt;
  return std::string(address);
}

}  // namespace

std::optional<std::string> waitForAccessibilityBus(const std::string& sessionBusAddress,
                                                   Deadline deadline) {
  ThreadDefaultContext context;
  auto connection = connectTo(sessionBusAddress);
  if (!connection) return std::nullopt;
  if (!waitForOwner(connection.get(), context.get(), deadline)) return std::nullopt;
  auto address = askAddress(connection.get(), deadline);
  g_dbus_connection_close_sync(connection.get(), nullptr, nullptr);
  return address;
}

}  // namespace kex::harness

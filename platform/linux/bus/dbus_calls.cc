#include "platform/linux/bus/dbus_calls.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string_view>
#include <utility>

namespace kex::platform::bus {
namespace {

constexpr char kUnixPathPrefix[] = "unix:path=";
constexpr char kBusService[] = "org.freedesktop.DBus";
constexpr char kBusPath[] = "/org/freedesktop/DBus";
constexpr char kSystemBusSocket[] = "/run/dbus/system_bus_socket";

// Each call times out by itself within the budget; this long after it, a batch cancels what is
// still outstanding, so that a lost timeout cannot keep the caller waiting.
constexpr std::chrono::milliseconds kDeadlineGrace{50};

GLogWriterOutput dropStructuredMessage(GLogLevelFlags, const GLogField*, gsize, gpointer) {
  return G_LOG_WRITER_HANDLED;
}

void dropMessage(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

void dropPrint(const gchar*) {}

bool socketExists(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode);
}

std::string unixPathAddress(const std::string& path) {
  gchar* escaped = g_dbus_address_escape_value(path.c_str());
  std::string address = std::string(kUnixPathPrefix) + escaped;
  g_free(escaped);
  return address;
}

// An address from the environment. One that would autolaunch a bus is no bus at all.
std::optional<BusAddress> addressFromEnvironment(const char* variable) {
  const char* value = std::getenv(variable);
  if (value == nullptr || *value == '\0') {
    return std::nullopt;
  }
  std::string address(value);
  if (address.find("autolaunch:") != std::string::npos) {
    return BusAddress{};
  }
  BusAddress result{address, {}};
  const std::string_view view(address);
  if (view.starts_with(kUnixPathPrefix) && view.find_first_of(",;%") == std::string_view::npos) {
    result.socketPath = address.substr(sizeof kUnixPathPrefix - 1);
  }
  return result;
}

std::optional<BusAddress> systemBusAddress() {
  if (auto fromEnvironment = addressFromEnvironment("DBUS_SYSTEM_BUS_ADDRESS")) {
    return fromEnvironment;
  }
  return BusAddress{unixPathAddress(kSystemBusSocket), kSystemBusSocket};
}

std::optional<BusAddress> sessionBusAddress() {
  if (auto fromEnvironment = addressFromEnvironment("DBUS_SESSION_BUS_ADDRESS")) {
    return fromEnvironment;
  }
  const char* runtimeDirectory = std::getenv("XDG_RUNTIME_DIR");
  if (runtimeDirectory == nullptr || *runtimeDirectory == '\0') {
    return std::nullopt;
  }
  const std::string socket = std::string(runtimeDirectory) + "/bus";
  return BusAddress{unixPathAddress(socket), socket};
}

// Made while the context is the thread default, so that GDBus delivers the connection's own
// notices there.
BusConnectionRef connectTo(const std::optional<BusAddress>& address, GMainContext* context) {
  if (!address || address->address.empty()) {
    return nullptr;
  }
  if (!address->socketPath.empty() && !socketExists(address->socketPath)) {
    return nullptr;
  }
  GError* error = nullptr;
  g_main_context_push_thread_default(context);
  GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
      address->address.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &error);
  g_main_context_pop_thread_default(context);
  g_clear_error(&error);
  if (connection == nullptr) {
    return nullptr;
  }
  // A bus daemon going away must not take the helper with it.
  g_dbus_connection_set_exit_on_close(connection, FALSE);
  return BusConnectionRef(connection);
}

// What the bus said last about a watched name.
enum Owner : int { kOwnerUnknown = 0, kOwnerPresent = 1, kOwnerAbsent = 2 };

std::string ownerChangeRule(const std::string& name) {
  return "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
         "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='" +
         name + "'";
}

}  // namespace

// Shared between a link and its message filter, which may outlive the link briefly.
struct NameOwners {
  explicit NameOwners(std::vector<std::string> watched)
      : names(std::move(watched)),
        states(names.size()),
        changes(names.size()),
        followed(names.size()) {}

  [[nodiscard]] int indexOf(std::string_view name) const {
    const auto found = std::find(names.begin(), names.end(), name);
    return found == names.end() ? -1 : static_cast<int>(found - names.begin());
  }

  const std::vector<std::string> names;
  std::vector<std::atomic<int>> states;  // Owner values, written by GDBus's worker thread
  // Owner changes reported, counted by GDBus's worker thread.
  std::vector<std::atomic<std::uint64_t>> changes;
  // Whether the bus agreed to report the name's owner changes; written before the link is used.
  std::vector<std::atomic<bool>> followed;
};

namespace {

bool isOwnerChange(GDBusMessage* message) {
  return g_dbus_message_get_message_type(message) == G_DBUS_MESSAGE_TYPE_SIGNAL &&
         g_strcmp0(g_dbus_message_get_sender(message), kBusService) == 0 &&
         g_strcmp0(g_dbus_message_get_interface(message), kBusService) == 0 &&
         g_strcmp0(g_dbus_message_get_member(message), "NameOwnerChanged") == 0;
}

// Runs on GDBus's worker thread for every message, before any dispatch; passes all through.
GDBusMessage* followOwnerChanges(GDBusConnection*, GDBusMessage* message, gboolean incoming,
                                 gpointer data) {
  if (!incoming || !isOwnerChange(message)) {
    return message;
  }
  GVariant* body = g_dbus_message_get_body(message);
  if (body == nullptr || !g_variant_is_of_type(body, G_VARIANT_TYPE("(sss)"))) {
    return message;
  }
  const gchar* name = nullptr;
  const gchar* oldOwner = nullptr;
  const gchar* newOwner = nullptr;
  g_variant_get(body, "(&s&s&s)", &name, &oldOwner, &newOwner);
  NameOwners& owners = **static_cast<std::shared_ptr<NameOwners>*>(data);
  const int index = owners.indexOf(name);
  if (index >= 0) {
    owners.states[index].store(*newOwner != '\0' ? kOwnerPresent : kOwnerAbsent);
    owners.changes[index].fetch_add(1);
  }
  return message;
}

void releaseOwners(gpointer data) { delete static_cast<std::shared_ptr<NameOwners>*>(data); }

// One private main context per thread, so that replies are only ever dispatched inside the
// wait() of the batch that asked.
class ThreadContext {
 public:
  ThreadContext() : context_(g_main_context_new()) {}
  ~ThreadContext() { g_main_context_unref(context_); }
  ThreadContext(const ThreadContext&) = delete;
  ThreadContext& operator=(const ThreadContext&) = delete;

  // A batch created while another is alive on the same thread gets a context of its own.
  GMainContext* take() {
    if (inUse_) {
      return g_main_context_new();
    }
    inUse_ = true;
    return g_main_context_ref(context_);
  }

  void give(GMainContext* context) {
    if (context == context_) {
      inUse_ = false;
    }
    g_main_context_unref(context);
  }

 private:
  GMainContext* context_;
  bool inUse_ = false;
};

ThreadContext& threadContext() {
  thread_local ThreadContext context;
  return context;
}

}  // namespace

void silenceGLibLogging() {
  static std::once_flag once;
  std::call_once(once, [] {
    g_log_set_writer_func(dropStructuredMessage, nullptr, nullptr);
    g_log_set_default_handler(dropMessage, nullptr);
    g_set_print_handler(dropPrint);
    g_set_printerr_handler(dropPrint);
  });
}

BusConnections::BusConnections()
    : systemAddress_(systemBusAddress()), sessionAddress_(sessionBusAddress()) {
  silenceGLibLogging();
}

void BusConnections::watchName(Bus bus, std::string name) {
  threads::Lock lock(mutex_);
  (bus == Bus::system ? systemNames_ : sessionNames_).push_back(std::move(name));
}

std::shared_ptr<BusLink> BusConnections::acquire(Bus bus) {
  threads::Lock lock(mutex_);
  std::shared_ptr<BusLink>& slot = bus == Bus::system ? system_ : session_;
  if (slot && g_dbus_connection_is_closed(slot->connection())) {
    slot.reset();
  }
  if (slot) return slot;
  // A bus that refused a moment ago is not tried again at once: the session is read several
  // times in every request, and each failed connection costs as much as a call.
  auto& retryAt = bus == Bus::system ? systemRetryAt_ : sessionRetryAt_;
  const auto now = std::chrono::steady_clock::now();
  if (now < retryAt) return nullptr;
  GMainContext* context = g_main_context_new();
  BusConnectionRef connection =
      connectTo(bus == Bus::system ? systemAddress_ : sessionAddress_, context);
  if (!connection) {
    g_main_context_unref(context);
    retryAt = now + kReconnectPause;
    return nullptr;
  }
  slot = std::make_shared<BusLink>(std::move(connection), context,
                                   bus == Bus::system ? systemNames_ : sessionNames_);
  return slot;
}

BusLink::BusLink(BusConnectionRef connection, GMainContext* context,
                 const std::vector<std::string>& watchedNames)
    : connection_(std::move(connection)),
      context_(context),
      owners_(std::make_shared<NameOwners>(watchedNames)) {
  filterId_ = g_dbus_connection_add_filter(connection_.get(), followOwnerChanges,
                                           new std::shared_ptr<NameOwners>(owners_), releaseOwners);
  learnOwners();
}

// GDBus tells of a lost connection through a source on the construction context that holds a
// reference to the connection; nobody else iterates that context, so it is dispatched here, and
// the connection goes with its socket before a new one is made.
BusLink::~BusLink() {
  g_dbus_connection_remove_filter(connection_.get(), filterId_);
  connection_.reset();
  while (g_main_context_iteration(context_, FALSE)) {
  }
  g_main_context_unref(context_);
}

bool BusLink::mayHaveOwner(std::string_view name) const {
  const int index = owners_->indexOf(name);
  return index < 0 || owners_->states[index].load() != kOwnerAbsent;
}

std::optional<std::uint64_t> BusLink::ownerChanges(std::string_view name) const {
  const int index = owners_->indexOf(name);
  if (index < 0 || !owners_->followed[index].load()) {
    return std::nullopt;
  }
  return owners_->changes[index].load();
}

// Subscribes to each name's owner changes, then asks who owns it now. The bus handles one
// connection's messages in order, so no change falls between the two. A change the filter has
// already recorded is at least as recent as the answer, so the answer only fills in a name that
// is still unknown. Without the subscription the name stays unknown: it is then always asked.
void BusLink::learnOwners() {
  const std::size_t count = owners_->names.size();
  if (count == 0) {
    return;
  }
  auto subscribed = std::make_unique<bool[]>(count);
  CallBatch batch;
  for (std::size_t i = 0; i < count; ++i) {
    const std::string& name = owners_->names[i];
    batch.call(connection_.get(),
               {kBusService, kBusPath, kBusService, "AddMatch",
                g_variant_new("(s)", ownerChangeRule(name).c_str()), "()"},
               [this, &subscribed, i](GVariant* reply) {
                 subscribed[i] = reply != nullptr;
                 owners_->followed[i].store(subscribed[i]);
               });
    batch.call(connection_.get(),
               {kBusService, kBusPath, kBusService, "NameHasOwner",
                g_variant_new("(s)", name.c_str()), "(b)"},
               [this, &subscribed, i](GVariant* reply) {
                 if (reply == nullptr || !subscribed[i]) {
                   return;
                 }
                 gboolean owned = FALSE;
                 g_variant_get(reply, "(b)", &owned);
                 int expected = kOwnerUnknown;
                 owners_->states[i].compare_exchange_strong(
                     expected, owned != FALSE ? kOwnerPresent : kOwnerAbsent);
               });
  }
  batch.wait();
}

struct CallBatch::Pending {
  CallBatch* batch;
  ReplyHandler onReply;
};

CallBatch::CallBatch(std::chrono::milliseconds budget)
    : context_(threadContext().take()),
      cancellable_(g_cancellable_new()),
      deadline_(g_timeout_source_new(static_cast<guint>((budget + kDeadlineGrace).count()))),
      deadlineAt_(std::chrono::steady_clock::now() + budget) {
  g_source_set_callback(deadline_, &CallBatch::deadlinePassed, cancellable_, nullptr);
  g_source_attach(deadline_, context_);
  // GDBus dispatches each reply on the context that is the thread default when the call starts.
  g_main_context_push_thread_default(context_);
}

CallBatch::~CallBatch() {
  if (pending_ > 0) {
    g_cancellable_cancel(cancellable_);
    wait();
  }
  g_main_context_pop_thread_default(context_);
  g_source_destroy(deadline_);
  g_source_unref(deadline_);
  g_object_unref(cancellable_);
  threadContext().give(context_);
}

void CallBatch::call(GDBusConnection* bus, const MethodCall& call, ReplyHandler onReply) {
  if (bus == nullptr) {
    if (call.parameters != nullptr) {
      g_variant_unref(g_variant_ref_sink(call.parameters));
    }
    onReply(nullptr);
    return;
  }
  auto* pending = new Pending{this, std::move(onReply)};
  ++pending_;
  g_dbus_connection_call(bus, call.destination, call.path, call.interface, call.method,
                         call.parameters, G_VARIANT_TYPE(call.replyType),
                         G_DBUS_CALL_FLAGS_NO_AUTO_START, remainingMilliseconds(), cancellable_,
                         &CallBatch::replied, pending);
}

void CallBatch::wait() {
  // Every call ends in replied(): by its reply, its own timeout, or the deadline's cancel.
  while (pending_ > 0) {
    g_main_context_iteration(context_, TRUE);
  }
}

void CallBatch::replied(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<Pending> pending(static_cast<Pending*>(data));
  GError* error = nullptr;
  GVariant* reply =
      g_dbus_connection_call_finish(reinterpret_cast<GDBusConnection*>(source), result, &error);
  g_clear_error(&error);
  VariantRef owned(reply);
  pending->onReply(reply);
  --pending->batch->pending_;
}

gboolean CallBatch::deadlinePassed(gpointer data) {
  g_cancellable_cancel(static_cast<GCancellable*>(data));
  return G_SOURCE_REMOVE;
}

int CallBatch::remainingMilliseconds() const {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadlineAt_ - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 1));
}

}  // namespace kex::platform::bus

// Connections to the system and session buses, and method calls answered within a deadline.
#pragma once

#include <gio/gio.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "threads/mutex.h"

namespace kex::platform::bus {

// Every question to a bus is answered within this time or counts as no answer.
inline constexpr std::chrono::milliseconds kBusCallBudget{250};

struct GObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
using BusConnectionRef = std::unique_ptr<GDBusConnection, GObjectUnref>;

struct VariantUnref {
  void operator()(GVariant* value) const { g_variant_unref(value); }
};
using VariantRef = std::unique_ptr<GVariant, VariantUnref>;

// GLib and GIO report their troubles by logging; the helper's output channels belong to the
// protocol, so every such message is dropped. Safe to call many times.
void silenceGLibLogging();

enum class Bus { system, session };

// Where a bus listens. socketPath names the socket of a plain "unix:path=" address, so that an
// absent bus costs one stat() instead of a connection attempt; empty for any other address.
struct BusAddress {
  std::string address;
  std::string socketPath;
};

struct NameOwners;

// A live connection to one bus, and whether the well-known names watched on that bus have an
// owner. The bus reports every change of owner as it happens, so asking a service that the bus
// has said is absent can be skipped without a round trip. Any thread: the owner states are
// atomics written by GDBus's worker thread.
class BusLink {
 public:
  // Takes the reference to the context the connection was made on.
  BusLink(BusConnectionRef connection, GMainContext* context,
          const std::vector<std::string>& watchedNames);
  ~BusLink();
  BusLink(const BusLink&) = delete;
  BusLink& operator=(const BusLink&) = delete;

  [[nodiscard]] GDBusConnection* connection() const { return connection_.get(); }

  // False only once the bus has said that nobody owns the name; an unwatched name is true.
  [[nodiscard]] bool mayHaveOwner(std::string_view name) const;
  // How many times the bus has reported a change of the name's owner since this link began to
  // follow it; nothing when the link does not follow the name (unwatched, or the bus refused to
  // report its changes). An answer of the owner stays the owner's answer while this holds still.
  [[nodiscard]] std::optional<std::uint64_t> ownerChanges(std::string_view name) const;

 private:
  void learnOwners();

  BusConnectionRef connection_;
  GMainContext* context_;
  std::shared_ptr<NameOwners> owners_;
  guint filterId_ = 0;
};

// How long a bus that could not be reached is taken to be absent before it is tried again.
inline constexpr std::chrono::milliseconds kReconnectPause{1000};

// The two buses, connected on first use and again after the daemon closed the connection.
// Never autolaunches a session bus. Any thread; mutex_ guards the two links and the names.
class BusConnections {
 public:
  BusConnections();

  // Has every later link to the bus follow the owner of the name. Called while the desktop is
  // being put together, before the first acquire().
  void watchName(Bus bus, std::string name);

  // A live connection, or nothing when the bus is absent or refuses us (then for kReconnectPause
  // after that: the next attempt comes no sooner).
  [[nodiscard]] std::shared_ptr<BusLink> acquire(Bus bus);

 private:
  threads::Mutex mutex_;
  const std::optional<BusAddress> systemAddress_;
  const std::optional<BusAddress> sessionAddress_;
  std::vector<std::string> systemNames_ GUARDED_BY(mutex_);
  std::vector<std::string> sessionNames_ GUARDED_BY(mutex_);
  std::shared_ptr<BusLink> system_ GUARDED_BY(mutex_);
  std::shared_ptr<BusLink> session_ GUARDED_BY(mutex_);
  // When a bus that could not be reached is tried again.
  std::chrono::steady_clock::time_point systemRetryAt_ GUARDED_BY(mutex_);
  std::chrono::steady_clock::time_point sessionRetryAt_ GUARDED_BY(mutex_);
};

struct MethodCall {
  const char* destination;
  const char* path;
  const char* interface;
  const char* method;
  GVariant* parameters;   // floating or nullptr; the call consumes it
  const char* replyType;  // a GVariant tuple type such as "(v)"
};

// Method calls in flight at the same time, all answered or abandoned by one deadline. Lives on
// the thread that created it: its replies are dispatched on a main context private to that
// thread, iterated only inside wait().
class CallBatch {
 public:
  // The reply, or nullptr for any failure (absent service, error reply, timeout).
  using ReplyHandler = std::function<void(GVariant* reply)>;

  explicit CallBatch(std::chrono::milliseconds budget = kBusCallBudget);
  ~CallBatch();
  CallBatch(const CallBatch&) = delete;
  CallBatch& operator=(const CallBatch&) = delete;

  // Starts a call; a handler may start further calls of the same batch.
  void call(GDBusConnection* bus, const MethodCall& call, ReplyHandler onReply);

  // Returns once every started call has been answered or abandoned.
  void wait();

 private:
  struct Pending;
  static void replied(GObject* source, GAsyncResult* result, gpointer data);
  static gboolean deadlinePassed(gpointer data);
  [[nodiscard]] int remainingMilliseconds() const;

  GMainContext* context_;
  GCancellable* cancellable_;
  GSource* deadline_;
  const std::chrono::steady_clock::time_point deadlineAt_;
  int pending_ = 0;
};

}  // namespace kex::platform::bus

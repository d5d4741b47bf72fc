// The accessibility bus, and method calls on it that are in flight together.
#pragma once

#include <dbus/dbus.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "platform/linux/bus/dbus_calls.h"

namespace kex::platform::atspi {

using AccessibilityClock = std::chrono::steady_clock;

// No single question to the accessibility bus or to an application waits longer than this: an
// application busy for a moment is waited for, as readers of its interface usually are.
inline constexpr std::chrono::milliseconds kLongestAccessibilityWait{3000};

// Where one accessible object lives: its application's unique bus name and its object path.
struct ObjectKey {
  std::string bus;
  std::string path;

  bool operator==(const ObjectKey&) const = default;
};

struct ObjectKeyHash {
  std::size_t operator()(const ObjectKey& key) const {
    return std::hash<std::string>()(key.bus) * 31 + std::hash<std::string>()(key.path);
  }
};

// The private connection to the accessibility bus, found through the session bus and made
// again once the bus closed it. Every call to an application goes through the bus daemon: an
// application's direct connection is never asked for, because the accessibility bridge keeps
// every one it ever opened, and turns on its caches and events for good, for the application's
// lifetime. A tree walk sends hundreds of calls at once, so the calls go through libdbus on the
// request thread itself: no worker thread and no variant copies, a fraction of what each call
// costs through GDBus. Never waits longer than kLongestAccessibilityWait to find or reach the
// bus. Request thread only.
class AccessibilityBus {
 public:
  explicit AccessibilityBus(bus::BusConnections& buses) : buses_(buses) {}
  ~AccessibilityBus();
  AccessibilityBus(const AccessibilityBus&) = delete;
  AccessibilityBus& operator=(const AccessibilityBus&) = delete;

  // The live connection, or nullptr when there is no accessibility bus.
  [[nodiscard]] DBusConnection* connection();
  // Counts the connections made; objects named on an earlier one mean nothing on this one.
  [[nodiscard]] std::uint64_t generation() const { return generation_; }

  // No call waits past this time point, whatever its own timeout: the waits of one request
  // together stay bounded. time_point::max() lifts the limit.
  void limitWaitsUntil(AccessibilityClock::time_point limit) { waitLimit_ = limit; }
  [[nodiscard]] AccessibilityClock::time_point waitLimit() const { return waitLimit_; }

 private:
  [[nodiscard]] std::string lookUpAddress();
  [[nodiscard]] DBusConnection* connectTo(const std::string& address);
  void drop();

  bus::BusConnections& buses_;
  DBusConnection* connection_ = nullptr;
  std::uint64_t generation_ = 0;
  // A bus that could not be found is not looked for again before then, so that a missing bus
  // costs one look-up per second rather than one per read.
  AccessibilityClock::time_point nextAttempt_{};
  AccessibilityClock::time_point waitLimit_ = AccessibilityClock::time_point::max();
};

// How a call ended.
enum class CallOutcome { replied, failed, timedOut };

// A boolean argument; a plain bool would convert from every number.
struct Flag {
  bool value = false;
};

// An AT-SPI match rule that asks for the objects that have every one of the states (bit
// positions of the state set) and says nothing of attributes, roles or interfaces.
struct StatesRule {
  std::uint64_t states = 0;
};

// One argument of a call.
using CallArgument = std::variant<std::int32_t, std::uint32_t, std::string, Flag, StatesRule>;

// What to call: the object, its interface and method, the arguments, and the signature its
// reply must have (without the enclosing parentheses: "a(so)", "(iiii)", ...).
struct MethodOnObject {
  const ObjectKey& target;
  const char* interface;
  const char* method;
  std::vector<CallArgument> arguments;
  const char* replySignature;
};

// Method calls on the accessibility bus in flight at the same time, each with a timeout of its
// own. A handler may start further calls of the same group. Request thread only; one group at a
// time, since any reply on the connection is read by the group that waits.
class CallGroup {
 public:
  // reply is a method return of the wanted signature, or nullptr unless the outcome is
  // CallOutcome::replied.
  using Handler = std::function<void(DBusMessage* reply, CallOutcome outcome)>;

  explicit CallGroup(AccessibilityBus& bus) : bus_(bus) {}
  ~CallGroup();
  CallGroup(const CallGroup&) = delete;
  CallGroup& operator=(const CallGroup&) = delete;

  // Starts a call. Without a bus the handler runs at once with CallOutcome::failed; once the
  // bus's wait limit has passed, with CallOutcome::timedOut.
  void call(const MethodOnObject& method, std::chrono::milliseconds timeout, Handler handler);

  // Returns once every call started has been answered, has failed or has timed out.
  void wait();

 private:
  struct Pending {
    const char* replySignature;
    AccessibilityClock::time_point deadline;
    Handler handler;
  };
  // A serial is unique on its connection only.
  struct PendingKey {
    DBusConnection* connection;
    dbus_uint32_t serial;
    bool operator==(const PendingKey&) const = default;
  };
  struct PendingKeyHash {
    std::size_t operator()(const PendingKey& key) const {
      return std::hash<const void*>()(key.connection) ^ key.serial;
    }
  };

  void use(DBusConnection* connection);
  [[nodiscard]] bool pump();
  void awaitTraffic();
  void deliver(DBusConnection* connection, DBusMessage* message);
  void expireOverdue();
  void abandonDisconnected();
  void abandonAll();
  [[nodiscard]] int millisecondsToNextDeadline() const;

  AccessibilityBus& bus_;
  // Every connection a call went out on, each with a reference of the group's own, so that one
  // closed meanwhile stays valid until the group ends.
  std::vector<DBusConnection*> used_;
  std::unordered_map<PendingKey, Pending, PendingKeyHash> pending_;
  // No pending call is due before this.
  AccessibilityClock::time_point earliestDeadline_ = AccessibilityClock::time_point::max();
};

// Readers of reply arguments, for replies whose signature was checked.
namespace reply {
// The first argument, a string.
[[nodiscard]] std::string text(DBusMessage* reply);
// The first argument, a variant holding a string, as a property call returns it.
[[nodiscard]] std::string variantText(DBusMessage* reply);
// The first argument, a list of strings "as".
[[nodiscard]] std::vector<std::string> texts(DBusMessage* reply);
// The first argument, an unsigned or signed 32-bit number or a boolean.
[[nodiscard]] std::uint32_t number(DBusMessage* reply);
// The first argument, an object reference "(so)"; nothing for the null reference.
[[nodiscard]] std::optional<ObjectKey> reference(DBusMessage* reply);
// The first argument, a list of object references "a(so)"; null references are left out.
[[nodiscard]] std::vector<ObjectKey> references(DBusMessage* reply);
// The first argument, a state set "au", as one 64-bit set.
[[nodiscard]] std::uint64_t stateBits(DBusMessage* reply);
// The object reference at the iterator, which stands on a "(so)" structure.
[[nodiscard]] std::optional<ObjectKey> referenceAt(DBusMessageIter* iterator);
}  // namespace reply

}  // namespace kex::platform::atspi

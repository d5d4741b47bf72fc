#include "platform/linux/atspi/accessibility_bus.h"

#include <poll.h>

#include <algorithm>
#include <memory>
#include <string_view>
#include <utility>

#include "platform/linux/atspi/accessibility_element.h"

namespace kex::platform::atspi {
namespace {

constexpr char kLauncherService[] = "org.a11y.Bus";
constexpr char kLauncherPath[] = "/org/a11y/bus";
constexpr char kNoReplyError[] = "org.freedesktop.DBus.Error.NoReply";
// The AT-SPI match types: every listed item must match.
constexpr dbus_int32_t kMatchAll = 1;

// Finding and reaching the bus together stay within kLongestAccessibilityWait.
constexpr std::chrono::milliseconds kAddressLookupBudget{1000};
constexpr std::chrono::milliseconds kConnectBudget{1000};
constexpr std::chrono::seconds kRetryPause{1};

struct MessageUnref {
  void operator()(DBusMessage* message) const { dbus_message_unref(message); }
};
using MessageRef = std::unique_ptr<DBusMessage, MessageUnref>;

// Frees what libdbus put in the error when this goes.
class ErrorSlot {
 public:
  ErrorSlot() { dbus_error_init(&error_); }
  ~ErrorSlot() { dbus_error_free(&error_); }
  ErrorSlot(const ErrorSlot&) = delete;
  ErrorSlot& operator=(const ErrorSlot&) = delete;
  DBusError* get() { return &error_; }

 private:
  DBusError error_;
};

void closeAndRelease(DBusConnection* connection) {
  dbus_connection_close(connection);
  dbus_connection_unref(connection);
}

// The bus's Hello, answered within the budget. libdbus's own registration would wait 25 s for a
// bus that accepted the connection and then froze.
bool registerOnBus(DBusConnection* connection) {
  MessageRef hello(dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS,
                                                DBUS_INTERFACE_DBUS, "Hello"));
  if (!hello) return false;
  ErrorSlot error;
  MessageRef reply(dbus_connection_send_with_reply_and_block(
      connection, hello.get(), static_cast<int>(kConnectBudget.count()), error.get()));
  const char* name = nullptr;
  if (!reply || !dbus_message_get_args(reply.get(), error.get(), DBUS_TYPE_STRING, &name,
                                       DBUS_TYPE_INVALID)) {
    return false;
  }
  return dbus_bus_set_unique_name(connection, name) != FALSE;
}

// The state set as AT-SPI sends it: 32-bit words, lowest first.
bool appendStates(DBusMessageIter* rule, std::uint64_t states) {
  DBusMessageIter words;
  if (!dbus_message_iter_open_container(rule, DBUS_TYPE_ARRAY, "i", &words)) return false;
  for (int shift = 0; shift < 64; shift += 32) {
    const auto word = static_cast<dbus_int32_t>((states >> shift) & 0xffffffffu);
    if (!dbus_message_iter_append_basic(&words, DBUS_TYPE_INT32, &word)) return false;
  }
  return dbus_message_iter_close_container(rule, &words) != FALSE;
}

bool appendEmpty(DBusMessageIter* rule, const char* elementSignature) {
  DBusMessageIter empty;
  return dbus_message_iter_open_container(rule, DBUS_TYPE_ARRAY, elementSignature, &empty) &&
         dbus_message_iter_close_container(rule, &empty);
}

bool appendMatchType(DBusMessageIter* rule) {
  return dbus_message_iter_append_basic(rule, DBUS_TYPE_INT32, &kMatchAll) != FALSE;
}

// "(aiia{ss}iaiiasib)": the states, then no attributes, roles or interfaces, not inverted. Each
// part matches "all" of its items, which an empty list always does.
bool appendStatesRule(DBusMessageIter* iterator, const StatesRule& rule) {
  DBusMessageIter fields;
  const dbus_bool_t invert = FALSE;
  return dbus_message_iter_open_container(iterator, DBUS_TYPE_STRUCT, nullptr, &fields) &&
         appendStates(&fields, rule.states) && appendMatchType(&fields) &&
         appendEmpty(&fields, "{ss}") && appendMatchType(&fields) && appendEmpty(&fields, "i") &&
         appendMatchType(&fields) && appendEmpty(&fields, "s") && appendMatchType(&fields) &&
         dbus_message_iter_append_basic(&fields, DBUS_TYPE_BOOLEAN, &invert) &&
         dbus_message_iter_close_container(iterator, &fields);
}

bool appendArgument(DBusMessageIter* iterator, const CallArgument& argument) {
  if (const auto* rule = std::get_if<StatesRule>(&argument))
    return appendStatesRule(iterator, *rule);
  if (const auto* flag = std::get_if<Flag>(&argument)) {
    const dbus_bool_t value = flag->value ? TRUE : FALSE;
    return dbus_message_iter_append_basic(iterator, DBUS_TYPE_BOOLEAN, &value) != FALSE;
  }
  if (const auto* signedNumber = std::get_if<std::int32_t>(&argument)) {
    const dbus_int32_t value = *signedNumber;
    return dbus_message_iter_append_basic(iterator, DBUS_TYPE_INT32, &value) != FALSE;
  }
  if (const auto* unsignedNumber = std::get_if<std::uint32_t>(&argument)) {
    const dbus_uint32_t value = *unsignedNumber;
    return dbus_message_iter_append_basic(iterator, DBUS_TYPE_UINT32, &value) != FALSE;
  }
  const std::string& text = std::get<std::string>(argument);
  // libdbus complains on standard error about text that is not UTF-8; such text is no argument.
  if (!dbus_validate_utf8(text.c_str(), nullptr)) return false;
  const char* value = text.c_str();
  return dbus_message_iter_append_basic(iterator, DBUS_TYPE_STRING, &value) != FALSE;
}

// Builds the message, or nothing for a name libdbus would refuse (and complain about).
MessageRef methodCall(const MethodOnObject& method) {
  if (!dbus_validate_bus_name(method.target.bus.c_str(), nullptr) ||
      !dbus_validate_path(method.target.path.c_str(), nullptr)) {
    return nullptr;
  }
  MessageRef message(dbus_message_new_method_call(
      method.target.bus.c_str(), method.target.path.c_str(), method.interface, method.method));
  if (!message) return nullptr;
  dbus_message_set_auto_start(message.get(), FALSE);
  DBusMessageIter iterator;
  dbus_message_iter_init_append(message.get(), &iterator);
  for (const auto& argument : method.arguments) {
    if (!appendArgument(&iterator, argument)) return nullptr;
  }
  return message;
}

}  // namespace

AccessibilityBus::~AccessibilityBus() { drop(); }

void AccessibilityBus::drop() {
  if (connection_ == nullptr) return;
  closeAndRelease(connection_);
  connection_ = nullptr;
}

DBusConnection* AccessibilityBus::connection() {
  if (connection_ != nullptr && dbus_connection_get_is_connected(connection_)) return connection_;
  drop();
  const auto now = AccessibilityClock::now();
  if (now < nextAttempt_) return nullptr;
  const std::string address = lookUpAddress();
  if (!address.empty()) connection_ = connectTo(address);
  if (connection_ == nullptr) {
    nextAttempt_ = now + kRetryPause;
    return nullptr;
  }
  ++generation_;
  return connection_;
}

// The launcher on the session bus knows the address; it is never started for us.
std::string AccessibilityBus::lookUpAddress() {
  const std::shared_ptr<bus::BusLink> session = buses_.acquire(bus::Bus::session);
  if (!session || !session->mayHaveOwner(kLauncherService)) return {};
  std::string address;
  bus::CallBatch batch(kAddressLookupBudget);
  batch.call(session->connection(),
             {kLauncherService, kLauncherPath, kLauncherService, "GetAddress", nullptr, "(s)"},
             [&address](GVariant* reply) {
               if (reply == nullptr) return;
               const gchar* text = nullptr;
               g_variant_get(reply, "(&s)", &text);
               if (text != nullptr) address = text;
             });
  batch.wait();
  return address;
}

DBusConnection* AccessibilityBus::connectTo(const std::string& address) {
  ErrorSlot error;
  // Reaching a local socket does not block; the first exchange is bounded by registerOnBus.
  DBusConnection* connection = dbus_connection_open_private(address.c_str(), error.get());
  if (connection == nullptr) return nullptr;
  // The bus going away must not take the helper with it.
  dbus_connection_set_exit_on_disconnect(connection, FALSE);
  if (!registerOnBus(connection)) {
    closeAndRelease(connection);
    return nullptr;
  }
  return connection;
}

CallGroup::~CallGroup() {
  abandonAll();
  for (DBusConnection* connection : used_) dbus_connection_unref(connection);
}

void CallGroup::use(DBusConnection* connection) {
  if (std::find(used_.begin(), used_.end(), connection) != used_.end()) return;
  used_.push_back(dbus_connection_ref(connection));
}

void CallGroup::call(const MethodOnObject& method, std::chrono::milliseconds timeout,
                     Handler handler) {
  const auto now = AccessibilityClock::now();
  const auto deadline =
      std::min(now + std::clamp(timeout, std::chrono::milliseconds(1), kLongestAccessibilityWait),
               bus_.waitLimit());
  if (deadline <= now) {
    handler(nullptr, CallOutcome::timedOut);
    return;
  }
  DBusConnection* connection = bus_.connection();
  MessageRef message = connection != nullptr ? methodCall(method) : nullptr;
  dbus_uint32_t serial = 0;
  if (!message || !dbus_connection_send(connection, message.get(), &serial)) {
    handler(nullptr, CallOutcome::failed);
    return;
  }
  use(connection);
  earliestDeadline_ = std::min(earliestDeadline_, deadline);
  pending_.emplace(PendingKey{connection, serial},
                   Pending{method.replySignature, deadline, std::move(handler)});
}

// Every pass writes what is queued on each connection, hands out what has arrived, and waits
// for more only when nothing came, at most until the next call is due.
void CallGroup::wait() {
  while (!pending_.empty()) {
    const bool delivered = pump();
    expireOverdue();
    abandonDisconnected();
    if (!delivered && !pending_.empty()) awaitTraffic();
  }
}

bool CallGroup::pump() {
  bool delivered = false;
  // Handlers may start calls on further connections: counted, not iterated.
  for (std::size_t i = 0; i < used_.size(); ++i) {
    DBusConnection* connection = used_[i];
    dbus_connection_read_write(connection, 0);
    while (DBusMessage* message = dbus_connection_pop_message(connection)) {
      deliver(connection, message);
      dbus_message_unref(message);
      delivered = true;
    }
  }
  return delivered;
}

void CallGroup::awaitTraffic() {
  std::vector<pollfd> watched;
  for (DBusConnection* connection : used_) {
    int fd = -1;
    if (!dbus_connection_get_unix_fd(connection, &fd)) continue;
    const short events =
        dbus_connection_has_messages_to_send(connection) ? POLLIN | POLLOUT : POLLIN;
    watched.push_back({fd, events, 0});
  }
  (void)::poll(watched.data(), watched.size(), millisecondsToNextDeadline());
}

int CallGroup::millisecondsToNextDeadline() const {
  const auto left = earliestDeadline_ - AccessibilityClock::now();
  const auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<int>(
      std::clamp<std::int64_t>(milliseconds, 0, kLongestAccessibilityWait.count()));
}

void CallGroup::deliver(DBusConnection* connection, DBusMessage* message) {
  const int type = dbus_message_get_type(message);
  if (type != DBUS_MESSAGE_TYPE_METHOD_RETURN && type != DBUS_MESSAGE_TYPE_ERROR) return;
  const auto found = pending_.find(PendingKey{connection, dbus_message_get_reply_serial(message)});
  if (found == pending_.end()) return;
  Pending pending = std::move(found->second);
  pending_.erase(found);
  if (type == DBUS_MESSAGE_TYPE_ERROR) {
    const bool noReply = dbus_message_is_error(message, kNoReplyError);
    pending.handler(nullptr, noReply ? CallOutcome::timedOut : CallOutcome::failed);
    return;
  }
  if (!dbus_message_has_signature(message, pending.replySignature)) {
    pending.handler(nullptr, CallOutcome::failed);
    return;
  }
  pending.handler(message, CallOutcome::replied);
}

void CallGroup::expireOverdue() {
  const auto now = AccessibilityClock::now();
  if (now < earliestDeadline_) return;
  earliestDeadline_ = AccessibilityClock::time_point::max();
  std::vector<Handler> overdue;
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (it->second.deadline > now) {
      earliestDeadline_ = std::min(earliestDeadline_, it->second.deadline);
      ++it;
      continue;
    }
    overdue.push_back(std::move(it->second.handler));
    it = pending_.erase(it);
  }
  for (auto& handler : overdue) handler(nullptr, CallOutcome::timedOut);
}

// A closed connection answers nothing more. Each connection is asked once per pass; the calls
// are looked through only when one has closed.
void CallGroup::abandonDisconnected() {
  std::vector<DBusConnection*> closed;
  for (DBusConnection* connection : used_) {
    if (!dbus_connection_get_is_connected(connection)) closed.push_back(connection);
  }
  if (closed.empty()) return;
  std::vector<Handler> lost;
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (std::find(closed.begin(), closed.end(), it->first.connection) == closed.end()) {
      ++it;
      continue;
    }
    lost.push_back(std::move(it->second.handler));
    it = pending_.erase(it);
  }
  for (auto& handler : lost) handler(nullptr, CallOutcome::failed);
}

// Replies that come after this are read by a later group, which knows none of their serials.
void CallGroup::abandonAll() {
  while (!pending_.empty()) {
    auto abandoned = std::move(pending_);
    pending_.clear();
    for (auto& entry : abandoned) entry.second.handler(nullptr, CallOutcome::failed);
  }
}

namespace reply {

std::string text(DBusMessage* reply) {
  DBusMessageIter iterator;
  if (!dbus_message_iter_init(reply, &iterator) ||
      dbus_message_iter_get_arg_type(&iterator) != DBUS_TYPE_STRING) {
    return {};
  }
  const char* value = nullptr;
  dbus_message_iter_get_basic(&iterator, &value);
  return value != nullptr ? value : "";
}

std::string variantText(DBusMessage* reply) {
  DBusMessageIter iterator;
  if (!dbus_message_iter_init(reply, &iterator) ||
      dbus_message_iter_get_arg_type(&iterator) != DBUS_TYPE_VARIANT) {
    return {};
  }
  DBusMessageIter value;
  dbus_message_iter_recurse(&iterator, &value);
  if (dbus_message_iter_get_arg_type(&value) != DBUS_TYPE_STRING) return {};
  const char* text = nullptr;
  dbus_message_iter_get_basic(&value, &text);
  return text != nullptr ? text : "";
}

std::vector<std::string> texts(DBusMessage* reply) {
  std::vector<std::string> values;
  DBusMessageIter iterator;
  if (!dbus_message_iter_init(reply, &iterator) ||
      dbus_message_iter_get_arg_type(&iterator) != DBUS_TYPE_ARRAY) {
    return values;
  }
  DBusMessageIter items;
  dbus_message_iter_recurse(&iterator, &items);
  while (dbus_message_iter_get_arg_type(&items) == DBUS_TYPE_STRING) {
    const char* value = nullptr;
    dbus_message_iter_get_basic(&items, &value);
    values.emplace_back(value != nullptr ? value : "");
    dbus_message_iter_next(&items);
  }
  return values;
}

std::uint32_t number(DBusMessage* reply) {
  DBusMessageIter iterator;
  if (!dbus_message_iter_init(reply, &iterator)) return 0;
  const int type = dbus_message_iter_get_arg_type(&iterator);
  if (type != DBUS_TYPE_UINT32 && type != DBUS_TYPE_INT32 && type != DBUS_TYPE_BOOLEAN) return 0;
  dbus_uint32_t value = 0;
  dbus_message_iter_get_basic(&iterator, &value);
  return value;
}

std::optional<ObjectKey> referenceAt(DBusMessageIter* iterator) {
  if (dbus_message_iter_get_arg_type(iterator) != DBUS_TYPE_STRUCT) return std::nullopt;
  DBusMessageIter fields;
  dbus_message_iter_recurse(iterator, &fields);
  if (dbus_message_iter_get_arg_type(&fields) != DBUS_TYPE_STRING) return std::nullopt;
  const char* bus = nullptr;
  dbus_message_iter_get_basic(&fields, &bus);
  if (!dbus_message_iter_next(&fields) ||
      dbus_message_iter_get_arg_type(&fields) != DBUS_TYPE_OBJECT_PATH) {
    return std::nullopt;
  }
  const char* path = nullptr;
  dbus_message_iter_get_basic(&fields, &path);
  // An application may write anything into the name; only a valid one can be called.
  if (bus == nullptr || path == nullptr || !dbus_validate_bus_name(bus, nullptr) ||
      path == atspi::kNullPath) {
    return std::nullopt;
  }
  return ObjectKey{bus, path};
}

std::optional<ObjectKey> reference(DBusMessage* reply) {
  DBusMessageIter iterator;
  if (!dbus_message_iter_init(reply, &iterator)) return std::nullopt;
  return referenceAt(&iterator);
}

std::vector<ObjectKey> references(DBusMessage* reply) {
  std::vector<ObjectKey> keys;
  DBusMessageIter iterator;
  if (!dbus_message_iter_init(reply, &iterator) ||
      dbus_message_iter_get_arg_type(&iterator) != DBUS_TYPE_ARRAY) {
    return keys;
  }
  DBusMessageIter items;
  dbus_message_iter_recurse(&iterator, &items);
  while (dbus_message_iter_get_arg_type(&items) == DBUS_TYPE_STRUCT) {
    if (auto key = referenceAt(&items)) keys.push_back(std::move(*key));
    dbus_message_iter_next(&items);
  }
  return keys;
}

std::uint64_t stateBits(DBusMessage* reply) {
  DBusMessageIter iterator;
  if (!dbus_message_iter_init(reply, &iterator) ||
      dbus_message_iter_get_arg_type(&iterator) != DBUS_TYPE_ARRAY) {
    return 0;
  }
  DBusMessageIter words;
  dbus_message_iter_recurse(&iterator, &words);
  std::uint64_t bits = 0;
  for (int shift = 0; shift < 64 && dbus_message_iter_get_arg_type(&words) == DBUS_TYPE_UINT32;
       shift += 32) {
    dbus_uint32_t word = 0;
    dbus_message_iter_get_basic(&words, &word);
    bits |= static_cast<std::uint64_t>(word) << shift;
    dbus_message_iter_next(&words);
  }
  return bits;
}

}  // namespace reply

}  // namespace kex::platform::atspi

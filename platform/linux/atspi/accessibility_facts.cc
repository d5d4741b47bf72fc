#include "platform/linux/atspi/accessibility_facts.h"

#include <algorithm>
#include <utility>

#include "platform/linux/atspi/accessibility_element.h"

namespace kex::platform::atspi {
namespace {

// A walk reads siblings in order; the batch asked for on a miss doubles with the position, so
// that a long list costs a few round trips and a short walk asks little it does not read.
constexpr std::size_t kFirstChunk = 32;
constexpr std::size_t kLargestChunk = 256;
// Past this many remembered objects everything is forgotten at the next read.
constexpr std::size_t kMostRemembered = 16384;

}  // namespace

void ApplicationTimeouts::set(const std::string& bus, std::chrono::milliseconds timeout) {
  timeouts_[bus] = std::clamp(timeout, std::chrono::milliseconds(1), kLongestAccessibilityWait);
}

void ApplicationTimeouts::setDefault(std::chrono::milliseconds timeout) {
  default_ = std::clamp(timeout, std::chrono::milliseconds(1), kLongestAccessibilityWait);
}

std::chrono::milliseconds ApplicationTimeouts::of(const std::string& bus) const {
  const auto found = timeouts_.find(bus);
  return found == timeouts_.end() ? default_ : found->second;
}

void ApplicationTimeouts::noteOutcome(const std::string& bus, CallOutcome outcome) {
  if (outcome == CallOutcome::timedOut) {
    holdUntil_[bus] = AccessibilityClock::now() + of(bus);
  } else if (outcome == CallOutcome::replied && !holdUntil_.empty()) {
    holdUntil_.erase(bus);
  }
}

bool ApplicationTimeouts::holdingOff(const std::string& bus) const {
  const auto found = holdUntil_.find(bus);
  return found != holdUntil_.end() && AccessibilityClock::now() < found->second;
}

void ApplicationTimeouts::clear() {
  timeouts_.clear();
  holdUntil_.clear();
}

unsigned FactReader::missing(const NodeFacts& facts, unsigned wanted) {
  unsigned lacking = 0;
  if ((wanted & kRole) && !fresh(facts.role)) lacking |= kRole;
  if ((wanted & kProperties) && !fresh(facts.name)) lacking |= kProperties;
  if ((wanted & kStates) && !fresh(facts.states)) lacking |= kStates;
  if ((wanted & kChildren) && !fresh(facts.children)) lacking |= kChildren;
  if ((wanted & kExtents) && !fresh(facts.extents)) lacking |= kExtents;
  return lacking;
}

const NodeFacts& FactReader::read(const ObjectKey& key, unsigned needed) {
  if (facts_.size() > kMostRemembered) facts_.clear();
  const unsigned lacking = missing(facts_[key], needed);
  if (lacking == 0) return facts_[key];
  const auto askedAt = AccessibilityClock::now();
  CallGroup group(bus_);
  if ((lacking & ~kNodeFacts) == 0) {
    for (const auto& sibling : siblingsToFetch(key, kNodeFacts)) {
      startFetch(group, sibling, missing(facts_[sibling], kNodeFacts), askedAt);
    }
  } else {
    startFetch(group, key, missing(facts_[key], kNodeFacts | needed), askedAt);
  }
  group.wait();
  return facts_[key];
}

void FactReader::fetch(const std::vector<ObjectKey>& keys, unsigned what) {
  const auto askedAt = AccessibilityClock::now();
  CallGroup group(bus_);
  for (const auto& key : keys) startFetch(group, key, what, askedAt);
  group.wait();
}

// The object itself first, then the siblings after it in the list its parent gave last.
std::vector<ObjectKey> FactReader::siblingsToFetch(const ObjectKey& key, unsigned wanted) {
  std::vector<ObjectKey> keys{key};
  const auto& place = facts_[key].place;
  if (!place) return keys;
  const auto parent = facts_.find(place->parent);
  if (parent == facts_.end()) return keys;
  const auto* list = fresh(parent->second.children);
  if (list == nullptr || place->index >= list->size() || (*list)[place->index] != key) {
    return keys;
  }
  const std::size_t chunk = std::clamp(place->index, kFirstChunk, kLargestChunk);
  const std::size_t end = std::min(list->size(), place->index + chunk);
  for (std::size_t i = place->index + 1; i < end; ++i) {
    if (missing(facts_[(*list)[i]], wanted) != 0) keys.push_back((*list)[i]);
  }
  return keys;
}

void FactReader::startFetch(CallGroup& group, const ObjectKey& key, unsigned what,
                            AccessibilityClock::time_point askedAt) {
  if (what == 0 || timeouts_.holdingOff(key.bus)) return;
  if (what & kRole) askRole(group, key, askedAt);
  if (what & kProperties) {
    askProperties(group, key, (what & kChildren) != 0, askedAt);
  } else if (what & kChildren) {
    askChildren(group, key, askedAt);
  }
  if (what & kStates) askStates(group, key, askedAt);
  if (what & kExtents) askExtents(group, key, askedAt);
}

template <typename Store>
CallGroup::Handler FactReader::onReply(const ObjectKey& key, Store store) {
  return [this, bus = key.bus, store = std::move(store)](DBusMessage* reply, CallOutcome outcome) {
    timeouts_.noteOutcome(bus, outcome);
    if (reply != nullptr) store(reply);
  };
}

void FactReader::askRole(CallGroup& group, const ObjectKey& key,
                         AccessibilityClock::time_point askedAt) {
  group.call({key, atspi::kAccessible, "GetRoleName", {}, "s"}, timeouts_.of(key.bus),
             onReply(key, [this, key, askedAt](DBusMessage* reply) {
               facts_[key].role = Fact<std::string>{reply::text(reply), askedAt};
             }));
}

// The name, the parent and the child count in one call. A childless object's children are
// known from its count, so only the others are asked for, and only once the count is in.
void FactReader::askProperties(CallGroup& group, const ObjectKey& key, bool thenChildren,
                               AccessibilityClock::time_point askedAt) {
  group.call({key, atspi::kProperties, "GetAll", {std::string(atspi::kAccessible)}, "a{sv}"},
             timeouts_.of(key.bus),
             [this, &group, key, thenChildren, askedAt](DBusMessage* reply, CallOutcome outcome) {
               timeouts_.noteOutcome(key.bus, outcome);
               if (reply != nullptr) storeProperties(key, reply, askedAt);
               if (!thenChildren || outcome == CallOutcome::timedOut) return;
               const auto* count = fresh(facts_[key].childCount);
               if (reply != nullptr && count != nullptr && *count == 0) {
                 facts_[key].children = Fact<std::vector<ObjectKey>>{{}, askedAt};
                 return;
               }
               askChildren(group, key, askedAt);
             });
}

namespace {

// The property's value when it is of the type; the iterator stands on its variant.
template <typename T>
std::optional<T> basicValue(DBusMessageIter* variant, int type) {
  DBusMessageIter value;
  dbus_message_iter_recurse(variant, &value);
  if (dbus_message_iter_get_arg_type(&value) != type) return std::nullopt;
  T result{};
  dbus_message_iter_get_basic(&value, &result);
  return result;
}

std::optional<ObjectKey> referenceValue(DBusMessageIter* variant) {
  DBusMessageIter value;
  dbus_message_iter_recurse(variant, &value);
  return reply::referenceAt(&value);
}

}  // namespace

void FactReader::storeProperties(const ObjectKey& key, DBusMessage* reply,
                                 AccessibilityClock::time_point askedAt) {
  NodeFacts& facts = facts_[key];
  std::string name;
  std::optional<ObjectKey> parent;
  DBusMessageIter iterator;
  DBusMessageIter entries;
  dbus_message_iter_init(reply, &iterator);
  dbus_message_iter_recurse(&iterator, &entries);
  for (; dbus_message_iter_get_arg_type(&entries) == DBUS_TYPE_DICT_ENTRY;
       dbus_message_iter_next(&entries)) {
    DBusMessageIter entry;
    dbus_message_iter_recurse(&entries, &entry);
    const char* property = nullptr;
    dbus_message_iter_get_basic(&entry, &property);
    dbus_message_iter_next(&entry);
    const std::string_view which(property != nullptr ? property : "");
    if (which == "Name") {
      if (const auto text = basicValue<const char*>(&entry, DBUS_TYPE_STRING)) name = *text;
    } else if (which == "Parent") {
      parent = referenceValue(&entry);
    } else if (which == "ChildCount") {
      if (const auto count = basicValue<dbus_int32_t>(&entry, DBUS_TYPE_INT32)) {
        facts.childCount = Fact<std::int32_t>{*count, askedAt};
      }
    }
  }
  facts.name = Fact<std::string>{std::move(name), askedAt};
  facts.parent = Fact<std::optional<ObjectKey>>{std::move(parent), askedAt};
}

void FactReader::askStates(CallGroup& group, const ObjectKey& key,
                           AccessibilityClock::time_point askedAt) {
  group.call({key, atspi::kAccessible, "GetState", {}, "au"}, timeouts_.of(key.bus),
             onReply(key, [this, key, askedAt](DBusMessage* reply) {
               facts_[key].states = Fact<std::uint64_t>{reply::stateBits(reply), askedAt};
             }));
}

void FactReader::askChildren(CallGroup& group, const ObjectKey& key,
                             AccessibilityClock::time_point askedAt) {
  group.call({key, atspi::kAccessible, "GetChildren", {}, "a(so)"}, timeouts_.of(key.bus),
             onReply(key, [this, key, askedAt](DBusMessage* reply) {
               storeChildren(key, reply, askedAt);
             }));
}

void FactReader::storeChildren(const ObjectKey& key, DBusMessage* reply,
                               AccessibilityClock::time_point askedAt) {
  auto children = reply::references(reply);
  for (std::size_t i = 0; i < children.size(); ++i) {
    facts_[children[i]].place = SiblingPlace{key, i};
  }
  facts_[key].children = Fact<std::vector<ObjectKey>>{std::move(children), askedAt};
}

void FactReader::askExtents(CallGroup& group, const ObjectKey& key,
                            AccessibilityClock::time_point askedAt) {
  group.call({key, atspi::kComponent, "GetExtents", {atspi::kScreenCoordinates}, "(iiii)"},
             timeouts_.of(key.bus), onReply(key, [this, key, askedAt](DBusMessage* reply) {
               DBusMessageIter iterator;
               DBusMessageIter fields;
               dbus_message_iter_init(reply, &iterator);
               dbus_message_iter_recurse(&iterator, &fields);
               std::int32_t values[4] = {0, 0, 0, 0};
               for (auto& value : values) {
                 dbus_message_iter_get_basic(&fields, &value);
                 dbus_message_iter_next(&fields);
               }
               facts_[key].extents =
                   Fact<Extents>{Extents{values[0], values[1], values[2], values[3]}, askedAt};
             }));
}

}  // namespace kex::platform::atspi

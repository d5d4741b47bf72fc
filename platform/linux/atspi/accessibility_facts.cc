#include "platform/linux/atspi/accessibility_facts.h"

#include <algorithm>
#include <memory>
#include <string_view>
#include <utility>

#include "platform/linux/atspi/accessibility_element.h"
#include "platform/linux/atspi/accessibility_roles.h"

namespace kex::platform::atspi {
namespace {

// A walk reads siblings in order; the batch asked for on a miss doubles with the position, so
// that a long list costs a few round trips and a short walk asks little it does not read. Where
// subtrees are read ahead, a miss is one of the last few objects of a walk: the batch stays
// small.
constexpr std::size_t kFirstChunk = 32;
constexpr std::size_t kLargestChunk = 256;
// Past this many remembered objects everything is forgotten at the next read.
constexpr std::size_t kMostRemembered = 16384;
// A subtree is read ahead this many showing descendants at a time: with the object itself, as
// many as the largest tree description holds.
constexpr std::int32_t kSubtreeCount = 255;
// What a subtree read ahead asks of every object; the lists of children follow from the
// order of the descendants and their parents, and which are enabled from one more selection.
constexpr unsigned kSubtreeFacts = kRole | kProperties;

constexpr std::uint32_t kCanonicalOrder = 1;
constexpr std::int32_t kEveryMatch = 0;
const StatesRule kShowing{std::uint64_t{1} << atspi::kStateShowing};
const StatesRule kShowingAndEnabled{kShowing.states | std::uint64_t{1} << atspi::kStateEnabled};

// Qt's bridge reads a second argument of every property call, which a call for all of them
// does not have: it ends its application.
constexpr std::string_view kToolkitWithoutAllProperties = "Qt";

}  // namespace

// The states of an object's children, asked for one by one where the application has no
// Collection to select the showing ones.
struct FactReader::ShowingScan {
  ObjectKey parent;
  std::vector<ObjectKey> children;
  std::vector<bool> showing;
  std::size_t outstanding = 0;
};

void FactReader::clear() {
  facts_.clear();
  withoutCollection_.clear();
  toolkits_.clear();
}

void FactReader::learnToolkit(const std::string& bus, const std::string& toolkit) {
  toolkits_[bus] = toolkit;
}

void FactReader::learnParent(const ObjectKey& key, const ObjectKey& parent) {
  facts_[key].parent = Fact<std::optional<ObjectKey>>{parent, AccessibilityClock::now()};
}

const std::optional<ObjectKey>* FactReader::rememberedParent(const ObjectKey& key) const {
  const auto found = facts_.find(key);
  if (found == facts_.end()) return nullptr;
  const auto& parent = found->second.parent;
  if (!parent || parent->answeredAt < requestStart_) return nullptr;
  return &parent->value;
}

const std::uint64_t* FactReader::rememberedStates(const ObjectKey& key) const {
  const auto found = facts_.find(key);
  if (found == facts_.end()) return nullptr;
  const auto& states = found->second.states;
  if (!states || states->answeredAt < requestStart_) return nullptr;
  return &states->value;
}

const std::vector<ObjectKey>* FactReader::rememberedChildren(const ObjectKey& key) const {
  const auto found = facts_.find(key);
  if (found == facts_.end()) return nullptr;
  const auto& children = found->second.children;
  if (!children || children->answeredAt < requestStart_) return nullptr;
  return &children->value;
}

bool FactReader::isFresh(AccessibilityClock::time_point answeredAt) const {
  return answeredAt >= requestStart_ || AccessibilityClock::now() - answeredAt <= kFreshness;
}

unsigned FactReader::missing(const NodeFacts& facts, unsigned wanted) const {
  unsigned lacking = 0;
  if ((wanted & kRole) && !fresh(facts.role)) lacking |= kRole;
  if ((wanted & kProperties) && !fresh(facts.name)) lacking |= kProperties;
  if ((wanted & kStates) && !fresh(facts.states)) lacking |= kStates;
  if ((wanted & kEnabled) && !fresh(facts.enabled)) lacking |= kEnabled;
  if ((wanted & kChildren) && !fresh(facts.children)) lacking |= kChildren;
  if ((wanted & kShowingChildren) && !fresh(facts.showingChildren)) lacking |= kShowingChildren;
  if ((wanted & kExtents) && !fresh(facts.extents)) lacking |= kExtents;
  return lacking;
}

void FactReader::noteOutcome(const std::string& bus, CallOutcome outcome) {
  waits_.noteOutcome(bus, outcome);
}

// An application that refused a Collection call is asked whether the object has the interface
// at all; one whose object lacks it is not asked for a Collection again.
void FactReader::checkCollection(CallGroup& group, const ObjectKey& key,
                                 std::chrono::milliseconds timeout) {
  group.call({key, atspi::kAccessible, "GetInterfaces", {}, "as"}, timeout,
             [this, bus = key.bus](DBusMessage* reply, CallOutcome outcome) {
               noteOutcome(bus, outcome);
               if (reply == nullptr) return;
               const auto interfaces = reply::texts(reply);
               if (std::find(interfaces.begin(), interfaces.end(), atspi::kCollection) ==
                   interfaces.end()) {
                 withoutCollection_.insert(bus);
               }
             });
}

const NodeFacts& FactReader::read(const ObjectKey& key, unsigned needed) {
  if (facts_.size() > kMostRemembered) facts_.clear();
  unsigned lacking = missing(facts_[key], needed);
  if (lacking == 0) return facts_[key];
  if ((lacking & kShowingChildren) != 0 && mayHaveCollection(key.bus)) {
    prefetchSubtree(key);
    lacking = missing(facts_[key], needed);
    if (lacking == 0) return facts_[key];
  }
  const auto timeout = waits_.timeoutFor(key);
  CallGroup group(bus_);
  if ((lacking & ~kNodeFacts) == 0) {
    for (const auto& sibling : siblingsToFetch(key, kNodeFacts)) {
      startFetch(group, sibling, missing(facts_[sibling], kNodeFacts), timeout);
    }
  } else {
    startFetch(group, key, lacking, timeout);
  }
  group.wait();
  return facts_[key];
}

void FactReader::fetch(const std::vector<ObjectKey>& keys, unsigned what,
                       std::chrono::milliseconds timeout) {
  CallGroup group(bus_);
  for (const auto& key : keys) startFetch(group, key, what, timeout);
  group.wait();
}

void FactReader::fetchMissing(const std::vector<ObjectKey>& keys, unsigned what,
                              std::chrono::milliseconds timeout) {
  CallGroup group(bus_);
  for (const auto& key : keys) {
    if (!answeredInRequest(facts_[key], what)) startFetch(group, key, what, timeout);
  }
  group.wait();
}

bool FactReader::answeredInRequest(const NodeFacts& facts, unsigned what) const {
  const auto inRequest = [this](const auto& fact) {
    return fact && fact->answeredAt >= requestStart_;
  };
  return (!(what & kRole) || inRequest(facts.role)) &&
         (!(what & kProperties) || inRequest(facts.name)) &&
         (!(what & kStates) || inRequest(facts.states)) &&
         (!(what & kExtents) || inRequest(facts.extents));
}

// The object itself first, then the siblings after it in the list its parent gave last.
std::vector<ObjectKey> FactReader::siblingsToFetch(const ObjectKey& key, unsigned wanted) {
  std::vector<ObjectKey> keys{key};
  const auto& place = facts_[key].place;
  if (!place) return keys;
  const auto parent = facts_.find(place->parent);
  if (parent == facts_.end()) return keys;
  const auto* list = fresh(parent->second.showingChildren);
  if (list == nullptr || place->index >= list->size() || (*list)[place->index] != key) {
    return keys;
  }
  const std::size_t chunk = mayHaveCollection(key.bus)
                                ? kFirstChunk
                                : std::clamp(place->index, kFirstChunk, kLargestChunk);
  const std::size_t end = std::min(list->size(), place->index + chunk);
  for (std::size_t i = place->index + 1; i < end; ++i) {
    if (missing(facts_[(*list)[i]], wanted) != 0) keys.push_back((*list)[i]);
  }
  return keys;
}

// A walk goes on into the subtree of an object whose children it reads, depth first, showing
// objects only. One call lists the first kSubtreeCount showing descendants in that order (and
// another the enabled ones) and one batch asks what the walk reads of each, so the walk costs
// two round trips, three when the list was cut off, rather than one per level. The object's own
// showing children are asked for beside them.
void FactReader::prefetchSubtree(const ObjectKey& root) {
  if (waits_.silent(root.bus)) return;
  const auto timeout = waits_.standardTimeout();
  std::optional<std::vector<ObjectKey>> descendants;
  CallGroup group(bus_);
  if (!fresh(facts_[root].showingChildren)) askShowingChildren(group, root, timeout);
  const std::vector<CallArgument> arguments{kShowing, kCanonicalOrder, kSubtreeCount, Flag{true}};
  group.call({root, atspi::kCollection, "GetMatches", arguments, "a(so)"}, timeout,
             [this, &group, &descendants, &root, timeout](DBusMessage* reply, CallOutcome outcome) {
               noteOutcome(root.bus, outcome);
               if (reply == nullptr) return;
               descendants = reply::references(reply);
               startFetch(group, root, missing(facts_[root], kSubtreeFacts | kEnabled), timeout);
               for (const auto& descendant : *descendants) {
                 startFetch(group, descendant, missing(facts_[descendant], kSubtreeFacts), timeout);
               }
             });
  // Every listed descendant that is enabled is among as many enabled ones, in the same order.
  std::optional<std::vector<ObjectKey>> enabled;
  const std::vector<CallArgument> enabledOnes{kShowingAndEnabled, kCanonicalOrder, kSubtreeCount,
                                              Flag{true}};
  group.call({root, atspi::kCollection, "GetMatches", enabledOnes, "a(so)"}, timeout,
             [this, &enabled, &root](DBusMessage* reply, CallOutcome outcome) {
               noteOutcome(root.bus, outcome);
               if (reply != nullptr) enabled = reply::references(reply);
             });
  group.wait();
  if (!descendants) return;
  if (enabled) placeEnabled(*descendants, *enabled);
  const auto open = placeShowingDescendants(
      root, *descendants, descendants->size() >= static_cast<std::size_t>(kSubtreeCount));
  // The walk goes on into these after the cut: their lists, and what the walk reads of the first
  // children it does not know yet, are asked for now, in one round trip rather than one each as
  // the walk reaches them.
  CallGroup rest(bus_);
  for (const auto& key : open) {
    rest.call({key,
               atspi::kCollection,
               "GetMatches",
               {kShowing, kCanonicalOrder, kEveryMatch, Flag{false}},
               "a(so)"},
              timeout, [this, &rest, key, timeout](DBusMessage* reply, CallOutcome outcome) {
                noteOutcome(key.bus, outcome);
                if (reply == nullptr) return;
                auto children = reply::references(reply);
                std::size_t asked = 0;
                for (const auto& child : children) {
                  const unsigned lacking = missing(facts_[child], kNodeFacts);
                  if (lacking == 0) continue;
                  if (++asked > kFirstChunk) break;
                  startFetch(rest, child, lacking, timeout);
                }
                storeShowingChildren(key, std::move(children));
              });
  }
  rest.wait();
}

void FactReader::placeEnabled(const std::vector<ObjectKey>& descendants,
                              const std::vector<ObjectKey>& enabled) {
  const std::unordered_set<ObjectKey, ObjectKeyHash> enabledOnes(enabled.begin(), enabled.end());
  const auto now = AccessibilityClock::now();
  for (const auto& descendant : descendants) {
    NodeFacts& facts = facts_[descendant];
    if (fresh(facts.enabled) == nullptr) {
      facts.enabled = Fact<bool>{enabledOnes.contains(descendant), now};
    }
  }
}

// Depth first, each showing descendant comes after its parent and before its parent's later
// children; so every listed object's showing children are the listed objects that name it as
// their parent, in the listed order. When the list was cut off, the last object and its
// ancestors may have more after the cut: those are returned, to be asked.
std::vector<ObjectKey> FactReader::placeShowingDescendants(
    const ObjectKey& root, const std::vector<ObjectKey>& descendants, bool cutOff) {
  std::unordered_map<ObjectKey, std::vector<ObjectKey>, ObjectKeyHash> lists;
  lists[root];
  for (const auto& descendant : descendants) lists[descendant];
  for (const auto& descendant : descendants) {
    const auto* parent = fresh(facts_[descendant].parent);
    if (parent == nullptr || !parent->has_value()) return {};
    const auto found = lists.find(**parent);
    // A showing object below one that is not showing is out of every walk's reach.
    if (found != lists.end()) found->second.push_back(descendant);
  }
  std::unordered_set<ObjectKey, ObjectKeyHash> open;
  if (cutOff) {
    auto ancestors = openAncestors(root, descendants);
    if (!ancestors) return {};
    open = std::move(*ancestors);
  }
  std::vector<ObjectKey> unknown;
  for (auto& [key, children] : lists) {
    if (fresh(facts_[key].showingChildren) != nullptr) continue;
    if (open.contains(key)) {
      unknown.push_back(key);
      continue;
    }
    storeShowingChildren(key, std::move(children));
  }
  return unknown;
}

// The last listed object and its ancestors up to the root; nothing when the chain of parents
// leaves the listed objects, since it is then unknown which of them it passes through.
std::optional<std::unordered_set<ObjectKey, ObjectKeyHash>> FactReader::openAncestors(
    const ObjectKey& root, const std::vector<ObjectKey>& descendants) const {
  std::unordered_set<ObjectKey, ObjectKeyHash> listed(descendants.begin(), descendants.end());
  std::unordered_set<ObjectKey, ObjectKeyHash> chain;
  ObjectKey current = descendants.back();
  while (current != root) {
    if (!listed.contains(current) || !chain.insert(current).second) return std::nullopt;
    const auto found = facts_.find(current);
    if (found == facts_.end()) return std::nullopt;
    const auto* parent = fresh(found->second.parent);
    if (parent == nullptr || !parent->has_value()) return std::nullopt;
    current = **parent;
  }
  chain.insert(root);
  return chain;
}

void FactReader::startFetch(CallGroup& group, const ObjectKey& key, unsigned what,
                            std::chrono::milliseconds timeout) {
  if (what == 0 || waits_.silent(key.bus)) return;
  if (what & kRole) askRole(group, key, timeout);
  const unsigned lists = what & (kChildren | kShowingChildren);
  if (what & kProperties) {
    askProperties(group, key, lists, timeout);
  } else {
    if (lists & kChildren) askChildren(group, key, timeout);
    if (lists & kShowingChildren) askShowingChildren(group, key, timeout);
  }
  if (what & (kStates | kEnabled)) askStates(group, key, timeout);
  if (what & kExtents) askExtents(group, key, timeout);
}

template <typename Store>
CallGroup::Handler FactReader::onReply(const ObjectKey& key, Store store) {
  return [this, bus = key.bus, store = std::move(store)](DBusMessage* reply, CallOutcome outcome) {
    noteOutcome(bus, outcome);
    if (reply != nullptr) store(reply);
  };
}

// The role by its number, named as the client library names it: toolkits' own names differ.
// Only an extended role is asked for by name.
void FactReader::askRole(CallGroup& group, const ObjectKey& key,
                         std::chrono::milliseconds timeout) {
  group.call(
      {key, atspi::kAccessible, "GetRole", {}, "u"}, timeout,
      [this, &group, key, timeout](DBusMessage* reply, CallOutcome outcome) {
        noteOutcome(key.bus, outcome);
        if (reply == nullptr) return;
        if (const auto name = roleName(reply::number(reply))) {
          facts_[key].role = Fact<std::string>{std::string(*name), AccessibilityClock::now()};
          return;
        }
        group.call(
            {key, atspi::kAccessible, "GetRoleName", {}, "s"}, timeout,
            onReply(key, [this, key](DBusMessage* named) {
              facts_[key].role = Fact<std::string>{reply::text(named), AccessibilityClock::now()};
            }));
      });
}

// The name, the parent and the child count in one call where the toolkit allows. A childless
// object's lists of children are known from its count, so only the others are asked for, and
// only once the count is in.
void FactReader::askProperties(CallGroup& group, const ObjectKey& key, unsigned thenLists,
                               std::chrono::milliseconds timeout) {
  const auto toolkit = toolkits_.find(key.bus);
  if (toolkit == toolkits_.end() || toolkit->second == kToolkitWithoutAllProperties) {
    askPropertiesOneByOne(group, key, thenLists, timeout);
    return;
  }
  group.call({key, atspi::kProperties, "GetAll", {std::string(atspi::kAccessible)}, "a{sv}"},
             timeout,
             [this, &group, key, thenLists, timeout](DBusMessage* reply, CallOutcome outcome) {
               noteOutcome(key.bus, outcome);
               if (reply != nullptr) storeProperties(key, reply);
               if (outcome != CallOutcome::timedOut) {
                 askListsAfterCount(group, key, thenLists, timeout);
               }
             });
}

void FactReader::askListsAfterCount(CallGroup& group, const ObjectKey& key, unsigned thenLists,
                                    std::chrono::milliseconds timeout) {
  const NodeFacts& facts = facts_[key];
  if ((thenLists & kChildren) && !fresh(facts.children)) askChildren(group, key, timeout);
  if ((thenLists & kShowingChildren) && !fresh(facts.showingChildren)) {
    askShowingChildren(group, key, timeout);
  }
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

// The property's value in the reply of a property call, "v".
std::optional<DBusMessageIter> propertyValue(DBusMessage* reply) {
  DBusMessageIter iterator;
  if (!dbus_message_iter_init(reply, &iterator) ||
      dbus_message_iter_get_arg_type(&iterator) != DBUS_TYPE_VARIANT) {
    return std::nullopt;
  }
  return iterator;
}

}  // namespace

void FactReader::askPropertiesOneByOne(CallGroup& group, const ObjectKey& key, unsigned thenLists,
                                       std::chrono::milliseconds timeout) {
  const std::string accessible(atspi::kAccessible);
  group.call(
      {key, atspi::kProperties, "Get", {accessible, std::string("Name")}, "v"}, timeout,
      onReply(key, [this, key](DBusMessage* reply) {
        auto value = propertyValue(reply);
        const auto text = value ? basicValue<const char*>(&*value, DBUS_TYPE_STRING) : std::nullopt;
        facts_[key].name = Fact<std::string>{text && *text ? *text : "", AccessibilityClock::now()};
      }));
  group.call({key, atspi::kProperties, "Get", {accessible, std::string("Parent")}, "v"}, timeout,
             onReply(key, [this, key](DBusMessage* reply) {
               auto value = propertyValue(reply);
               facts_[key].parent = Fact<std::optional<ObjectKey>>{
                   value ? referenceValue(&*value) : std::nullopt, AccessibilityClock::now()};
             }));
  group.call({key, atspi::kProperties, "Get", {accessible, std::string("ChildCount")}, "v"},
             timeout,
             [this, &group, key, thenLists, timeout](DBusMessage* reply, CallOutcome outcome) {
               noteOutcome(key.bus, outcome);
               if (reply != nullptr) {
                 auto value = propertyValue(reply);
                 const auto count =
                     value ? basicValue<dbus_int32_t>(&*value, DBUS_TYPE_INT32) : std::nullopt;
                 if (count) storeChildCount(facts_[key], *count);
               }
               if (outcome != CallOutcome::timedOut) {
                 askListsAfterCount(group, key, thenLists, timeout);
               }
             });
}

void FactReader::storeChildCount(NodeFacts& facts, std::int32_t count) {
  const auto now = AccessibilityClock::now();
  facts.childCount = Fact<std::int32_t>{count, now};
  if (count != 0) return;
  facts.children = Fact<std::vector<ObjectKey>>{{}, now};
  facts.showingChildren = Fact<std::vector<ObjectKey>>{{}, now};
}

void FactReader::storeProperties(const ObjectKey& key, DBusMessage* reply) {
  const auto now = AccessibilityClock::now();
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
        storeChildCount(facts, *count);
      }
    }
  }
  facts.name = Fact<std::string>{std::move(name), now};
  facts.parent = Fact<std::optional<ObjectKey>>{std::move(parent), now};
}

void FactReader::askStates(CallGroup& group, const ObjectKey& key,
                           std::chrono::milliseconds timeout) {
  group.call(
      {key, atspi::kAccessible, "GetState", {}, "au"}, timeout,
      onReply(key, [this, key](DBusMessage* reply) { storeStates(key, reply::stateBits(reply)); }));
}

void FactReader::askChildren(CallGroup& group, const ObjectKey& key,
                             std::chrono::milliseconds timeout) {
  group.call({key, atspi::kAccessible, "GetChildren", {}, "a(so)"}, timeout,
             onReply(key, [this, key](DBusMessage* reply) {
               facts_[key].children = Fact<std::vector<ObjectKey>>{reply::references(reply),
                                                                   AccessibilityClock::now()};
             }));
}

// The application selects its showing children itself, in one call; where it cannot, the states
// of its children are asked instead.
void FactReader::askShowingChildren(CallGroup& group, const ObjectKey& key,
                                    std::chrono::milliseconds timeout) {
  if (!mayHaveCollection(key.bus)) {
    askShowingChildrenByStates(group, key, timeout);
    return;
  }
  const std::vector<CallArgument> arguments{kShowing, kCanonicalOrder, kEveryMatch, Flag{false}};
  group.call({key, atspi::kCollection, "GetMatches", arguments, "a(so)"}, timeout,
             [this, &group, key, timeout](DBusMessage* reply, CallOutcome outcome) {
               noteOutcome(key.bus, outcome);
               if (reply != nullptr) {
                 storeShowingChildren(key, reply::references(reply));
               } else if (outcome == CallOutcome::failed) {
                 askShowingChildrenByStates(group, key, timeout);
                 checkCollection(group, key, timeout);
               }
             });
}

void FactReader::askShowingChildrenByStates(CallGroup& group, const ObjectKey& key,
                                            std::chrono::milliseconds timeout) {
  group.call({key, atspi::kAccessible, "GetChildren", {}, "a(so)"}, timeout,
             [this, &group, key, timeout](DBusMessage* reply, CallOutcome outcome) {
               noteOutcome(key.bus, outcome);
               if (reply == nullptr) return;
               auto scan = std::make_shared<ShowingScan>();
               scan->parent = key;
               scan->children = reply::references(reply);
               scan->showing.assign(scan->children.size(), false);
               scan->outstanding = scan->children.size();
               facts_[key].children =
                   Fact<std::vector<ObjectKey>>{scan->children, AccessibilityClock::now()};
               if (scan->children.empty()) {
                 storeShowingChildren(key, {});
                 return;
               }
               for (std::size_t i = 0; i < scan->children.size(); ++i) {
                 group.call({scan->children[i], atspi::kAccessible, "GetState", {}, "au"}, timeout,
                            [this, scan, i](DBusMessage* states, CallOutcome stateOutcome) {
                              noteOutcome(scan->parent.bus, stateOutcome);
                              if (states != nullptr) {
                                const auto bits = reply::stateBits(states);
                                facts_[scan->children[i]].states =
                                    Fact<std::uint64_t>{bits, AccessibilityClock::now()};
                                scan->showing[i] = hasState(bits, atspi::kStateShowing);
                              }
                              if (--scan->outstanding > 0) return;
                              std::vector<ObjectKey> showing;
                              for (std::size_t j = 0; j < scan->children.size(); ++j) {
                                if (scan->showing[j]) showing.push_back(scan->children[j]);
                              }
                              storeShowingChildren(scan->parent, std::move(showing));
                            });
               }
             });
}

void FactReader::storeStates(const ObjectKey& key, std::uint64_t states) {
  const auto now = AccessibilityClock::now();
  NodeFacts& facts = facts_[key];
  facts.states = Fact<std::uint64_t>{states, now};
  facts.enabled = Fact<bool>{hasState(states, atspi::kStateEnabled), now};
}

void FactReader::storeShowingChildren(const ObjectKey& key, std::vector<ObjectKey> children) {
  for (std::size_t i = 0; i < children.size(); ++i) {
    facts_[children[i]].place = SiblingPlace{key, i};
  }
  facts_[key].showingChildren =
      Fact<std::vector<ObjectKey>>{std::move(children), AccessibilityClock::now()};
}

void FactReader::askExtents(CallGroup& group, const ObjectKey& key,
                            std::chrono::milliseconds timeout) {
  group.call({key, atspi::kComponent, "GetExtents", {atspi::kScreenCoordinates}, "(iiii)"}, timeout,
             onReply(key, [this, key](DBusMessage* reply) {
               DBusMessageIter iterator;
               DBusMessageIter fields;
               dbus_message_iter_init(reply, &iterator);
               dbus_message_iter_recurse(&iterator, &fields);
               std::int32_t values[4] = {0, 0, 0, 0};
               for (auto& value : values) {
                 dbus_message_iter_get_basic(&fields, &value);
                 dbus_message_iter_next(&fields);
               }
               facts_[key].extents = Fact<Extents>{
                   Extents{values[0], values[1], values[2], values[3]}, AccessibilityClock::now()};
             }));
}

}  // namespace kex::platform::atspi

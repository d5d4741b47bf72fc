// What applications say about their accessible objects, asked in batches and remembered for a
// moment, so that a walk over a tree costs a few round trips rather than one per read.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/linux/atspi/accessibility_bus.h"
#include "platform/linux/atspi/application_waits.h"

namespace kex::platform::atspi {

// A value read from an application, and when its answer came.
template <typename T>
struct Fact {
  T value;
  AccessibilityClock::time_point answeredAt;
};

struct Extents {
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
};

// Where the latest list of showing children that named an object put it.
struct SiblingPlace {
  ObjectKey parent;
  std::size_t index = 0;
};

struct NodeFacts {
  std::optional<Fact<std::string>> role;  // the AT-SPI role name
  std::optional<Fact<std::string>> name;
  std::optional<Fact<std::optional<ObjectKey>>> parent;  // nothing inside: no parent
  std::optional<Fact<std::int32_t>> childCount;
  std::optional<Fact<std::uint64_t>> states;
  // Known from the states, or from an application's selection of the enabled objects.
  std::optional<Fact<bool>> enabled;
  std::optional<Fact<std::vector<ObjectKey>>> children;         // every child
  std::optional<Fact<std::vector<ObjectKey>>> showingChildren;  // those with the showing state
  std::optional<Fact<Extents>> extents;                         // in screen coordinates
  std::optional<SiblingPlace> place;
};

// Which facts to ask for. kProperties is the name, the parent and the child count together.
enum FactMask : unsigned {
  kRole = 1u << 0,
  kProperties = 1u << 1,
  kStates = 1u << 2,
  kChildren = 1u << 3,
  kExtents = 1u << 4,
  kShowingChildren = 1u << 5,
  kEnabled = 1u << 6,
};
// What a walk over a tree reads of every object it visits.
inline constexpr unsigned kNodeFacts = kRole | kProperties | kEnabled | kShowingChildren;

// The facts of accessible objects. A fact serves reads for the rest of the request in which
// its answer came, and for kFreshness after it came; then it is asked again. Request thread
// only.
class FactReader {
 public:
  static constexpr std::chrono::milliseconds kFreshness{100};

  FactReader(AccessibilityBus& bus, ApplicationWaits& waits) : bus_(bus), waits_(waits) {}

  // Answers that come from now on serve the whole of the request that begins.
  void beginRequest() { requestStart_ = AccessibilityClock::now(); }

  // The object's facts with at least `needed` asked for, when the application answered. Asks
  // for whatever is missing, together with what a walk reads next: the same facts of the
  // siblings after it or, for its showing children, the showing part of its whole subtree.
  [[nodiscard]] const NodeFacts& read(const ObjectKey& key, unsigned needed);
  // Asks for the facts of all the objects in one batch, whatever is remembered; each call waits
  // at most the timeout.
  void fetch(const std::vector<ObjectKey>& keys, unsigned what, std::chrono::milliseconds timeout);
  // Starts asking for the object's facts in the caller's group, alongside whatever else it asks;
  // the answers serve reads once the group has waited for them.
  void prefetch(CallGroup& group, const ObjectKey& key, unsigned what,
                std::chrono::milliseconds timeout) {
    startFetch(group, key, what, timeout);
  }
  // The same for the objects whose facts did not come in the current request: those that did
  // serve the rest of it, while anything older is asked again.
  void fetchMissing(const std::vector<ObjectKey>& keys, unsigned what,
                    std::chrono::milliseconds timeout);

  // The fact when it is fresh; nullptr otherwise.
  template <typename T>
  [[nodiscard]] const T* fresh(const std::optional<Fact<T>>& fact) const {
    if (!fact || !isFresh(fact->answeredAt)) return nullptr;
    return &fact->value;
  }

  // What the application's accessibility bridge calls its toolkit. A bridge whose toolkit is
  // known to answer every property at once is asked so; any other is asked one by one, since
  // Qt's bridge ends its application when asked for all of them.
  void learnToolkit(const std::string& bus, const std::string& toolkit);
  [[nodiscard]] bool knowsToolkit(const std::string& bus) const { return toolkits_.contains(bus); }

  // Remembers the object's parent as learned some other way than by asking the object: a hit
  // test that descends from an object to its child at a point knows the child's parent.
  void learnParent(const ObjectKey& key, const ObjectKey& parent);
  // The object's parent when it was learned in the current request, without asking; nothing
  // inside means the object has none.
  [[nodiscard]] const std::optional<ObjectKey>* rememberedParent(const ObjectKey& key) const;
  // The object's states when they came in the current request, without asking.
  [[nodiscard]] const std::uint64_t* rememberedStates(const ObjectKey& key) const;
  // Every child of the object when the list came in the current request, without asking.
  [[nodiscard]] const std::vector<ObjectKey>* rememberedChildren(const ObjectKey& key) const;

  // Forgets every fact, as after anything that changes the interface.
  void forget() { facts_.clear(); }
  // Forgets everything, as for a new connection to the bus.
  void clear();

 private:
  struct ShowingScan;

  [[nodiscard]] bool isFresh(AccessibilityClock::time_point answeredAt) const;
  [[nodiscard]] bool answeredInRequest(const NodeFacts& facts, unsigned what) const;
  [[nodiscard]] unsigned missing(const NodeFacts& facts, unsigned wanted) const;
  [[nodiscard]] std::vector<ObjectKey> siblingsToFetch(const ObjectKey& key, unsigned wanted);
  [[nodiscard]] bool mayHaveCollection(const std::string& bus) const {
    return !withoutCollection_.contains(bus);
  }
  void noteOutcome(const std::string& bus, CallOutcome outcome);
  void checkCollection(CallGroup& group, const ObjectKey& key, std::chrono::milliseconds timeout);

  void prefetchSubtree(const ObjectKey& root);
  void placeEnabled(const std::vector<ObjectKey>& descendants,
                    const std::vector<ObjectKey>& enabled);
  [[nodiscard]] std::vector<ObjectKey> placeShowingDescendants(
      const ObjectKey& root, const std::vector<ObjectKey>& descendants, bool cutOff);
  [[nodiscard]] std::optional<std::unordered_set<ObjectKey, ObjectKeyHash>> openAncestors(
      const ObjectKey& root, const std::vector<ObjectKey>& descendants) const;

  void startFetch(CallGroup& group, const ObjectKey& key, unsigned what,
                  std::chrono::milliseconds timeout);
  void askRole(CallGroup& group, const ObjectKey& key, std::chrono::milliseconds timeout);
  void askProperties(CallGroup& group, const ObjectKey& key, unsigned thenLists,
                     std::chrono::milliseconds timeout);
  void askPropertiesOneByOne(CallGroup& group, const ObjectKey& key, unsigned thenLists,
                             std::chrono::milliseconds timeout);
  void askListsAfterCount(CallGroup& group, const ObjectKey& key, unsigned thenLists,
                          std::chrono::milliseconds timeout);
  void askStates(CallGroup& group, const ObjectKey& key, std::chrono::milliseconds timeout);
  void askChildren(CallGroup& group, const ObjectKey& key, std::chrono::milliseconds timeout);
  void askShowingChildren(CallGroup& group, const ObjectKey& key,
                          std::chrono::milliseconds timeout);
  void askShowingChildrenByStates(CallGroup& group, const ObjectKey& key,
                                  std::chrono::milliseconds timeout);
  void askExtents(CallGroup& group, const ObjectKey& key, std::chrono::milliseconds timeout);
  void storeProperties(const ObjectKey& key, DBusMessage* reply);
  void storeChildCount(NodeFacts& facts, std::int32_t count);
  void storeShowingChildren(const ObjectKey& key, std::vector<ObjectKey> children);
  void storeStates(const ObjectKey& key, std::uint64_t states);
  // The handler for a reply: notes the outcome for the application, stores what came back.
  template <typename Store>
  CallGroup::Handler onReply(const ObjectKey& key, Store store);

  AccessibilityBus& bus_;
  ApplicationWaits& waits_;
  std::unordered_map<ObjectKey, NodeFacts, ObjectKeyHash> facts_;
  // Applications that listed no Collection interface for an object: their showing children are
  // told apart by their states.
  std::unordered_set<std::string> withoutCollection_;
  // The toolkit of each application asked so far.
  std::unordered_map<std::string, std::string> toolkits_;
  AccessibilityClock::time_point requestStart_ = AccessibilityClock::time_point::max();
};

[[nodiscard]] inline bool hasState(std::uint64_t states, int state) {
  return ((states >> state) & 1u) != 0;
}

}  // namespace kex::platform::atspi

// What applications say about their accessible objects, asked in batches and remembered for a
// moment, so that a walk over a tree costs a few round trips rather than one per read.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/linux/atspi/accessibility_bus.h"

namespace kex::platform::atspi {

// A value read from an application, and when it was asked for.
template <typename T>
struct Fact {
  T value;
  AccessibilityClock::time_point askedAt;
};

struct Extents {
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
};

// Where the latest list of children that named an object put it.
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
  std::optional<Fact<std::vector<ObjectKey>>> children;
  std::optional<Fact<Extents>> extents;  // in screen coordinates
  std::optional<SiblingPlace> place;
};

// Which facts to ask for. kProperties is the name, the parent and the child count together.
enum FactMask : unsigned {
  kRole = 1u << 0,
  kProperties = 1u << 1,
  kStates = 1u << 2,
  kChildren = 1u << 3,
  kExtents = 1u << 4,
};
// What a walk over a tree reads of every object it visits.
inline constexpr unsigned kNodeFacts = kRole | kProperties | kStates | kChildren;

inline constexpr std::chrono::milliseconds kDefaultApplicationTimeout{1500};

// How long each application may take to answer, and which applications have just let a call
// time out. Request thread only.
class ApplicationTimeouts {
 public:
  // Each timeout is clamped to 1 ms ... kLongestAccessibilityWait.
  void set(const std::string& bus, std::chrono::milliseconds timeout);
  void reset(const std::string& bus) { timeouts_.erase(bus); }
  void setDefault(std::chrono::milliseconds timeout);
  [[nodiscard]] std::chrono::milliseconds of(const std::string& bus) const;

  // A frozen application would cost its whole timeout on every read of a walk; after one
  // timeout its further calls fail at once for as long again.
  void noteOutcome(const std::string& bus, CallOutcome outcome);
  [[nodiscard]] bool holdingOff(const std::string& bus) const;

  void clear();

 private:
  std::chrono::milliseconds default_{kDefaultApplicationTimeout};
  std::unordered_map<std::string, std::chrono::milliseconds> timeouts_;
  std::unordered_map<std::string, AccessibilityClock::time_point> holdUntil_;
};

// The facts of accessible objects. A fact serves reads only for kFreshness after it was asked
// for; then it is asked again. Request thread only.
class FactReader {
 public:
  static constexpr std::chrono::milliseconds kFreshness{100};

  FactReader(AccessibilityBus& bus, ApplicationTimeouts& timeouts)
      : bus_(bus), timeouts_(timeouts) {}

  // The object's facts with at least `needed` asked for within kFreshness, when the application
  // answered. Asks for whatever is missing, together with the same facts of the siblings that a
  // walk reads next.
  [[nodiscard]] const NodeFacts& read(const ObjectKey& key, unsigned needed);
  // Asks for the facts of all the objects in one batch, whatever is remembered.
  void fetch(const std::vector<ObjectKey>& keys, unsigned what);

  // The fact when it is fresh; nullptr otherwise.
  template <typename T>
  [[nodiscard]] static const T* fresh(const std::optional<Fact<T>>& fact) {
    if (!fact || AccessibilityClock::now() - fact->askedAt > kFreshness) return nullptr;
    return &fact->value;
  }

  // Forgets every fact, as after anything that changes the interface.
  void forget() { facts_.clear(); }

 private:
  [[nodiscard]] static unsigned missing(const NodeFacts& facts, unsigned wanted);
  [[nodiscard]] std::vector<ObjectKey> siblingsToFetch(const ObjectKey& key, unsigned wanted);
  void startFetch(CallGroup& group, const ObjectKey& key, unsigned what,
                  AccessibilityClock::time_point askedAt);
  void askRole(CallGroup& group, const ObjectKey& key, AccessibilityClock::time_point askedAt);
  void askProperties(CallGroup& group, const ObjectKey& key, bool thenChildren,
                     AccessibilityClock::time_point askedAt);
  void askStates(CallGroup& group, const ObjectKey& key, AccessibilityClock::time_point askedAt);
  void askChildren(CallGroup& group, const ObjectKey& key, AccessibilityClock::time_point askedAt);
  void askExtents(CallGroup& group, const ObjectKey& key, AccessibilityClock::time_point askedAt);
  void storeChildren(const ObjectKey& key, DBusMessage* reply,
                     AccessibilityClock::time_point askedAt);
  void storeProperties(const ObjectKey& key, DBusMessage* reply,
                       AccessibilityClock::time_point askedAt);
  // The handler for a reply: notes the outcome for the application, stores what came back.
  template <typename Store>
  CallGroup::Handler onReply(const ObjectKey& key, Store store);

  AccessibilityBus& bus_;
  ApplicationTimeouts& timeouts_;
  std::unordered_map<ObjectKey, NodeFacts, ObjectKeyHash> facts_;
};

[[nodiscard]] inline bool hasState(std::uint64_t states, int state) {
  return ((states >> state) & 1u) != 0;
}

}  // namespace kex::platform::atspi

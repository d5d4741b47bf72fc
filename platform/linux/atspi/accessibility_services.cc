#include "platform/linux/atspi/accessibility_services.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <utility>

#include "platform/linux/atspi/press_action.h"

namespace kex::platform::atspi {
namespace {

// The registry and the bus daemon answer for every application; neither waits on one.
constexpr std::chrono::milliseconds kDirectoryTimeout{1000};
// A search for the focused element stops after this many objects.
constexpr int kMostSearched = 2000;
// The first question to an application.
constexpr std::chrono::milliseconds kFirstContactTimeout{500};
// Guesses kept of what earlier requests found; far more than a host works with at once.
constexpr std::size_t kMostGuessedProcesses = 64;
constexpr std::size_t kMostGuessedWindows = 32;
// What a window is told apart by: its role, its name, its states and its extents.
constexpr unsigned kWindowFacts = kRole | kProperties | kStates | kExtents;
// All the waits of one request together: past this, every further call of the request fails
// at once.
constexpr std::chrono::milliseconds kRequestWaitBudget{6000};
// How a collection search lists its matches: in the order of the tree.
constexpr std::uint32_t kCanonicalOrder = 1;
// A hit test descends at most this deep.
constexpr int kDeepestHit = 64;
// Windows whose last hit test's way down is remembered; far more than a host works with at once.
constexpr std::size_t kMostRememberedDescents = 64;

constexpr std::string_view kPasswordRole = "password text";
constexpr std::string_view kSecureTextField = "AXSecureTextField";
constexpr std::string_view kSheetRole = "AXSheet";
constexpr std::array<std::string_view, 5> kWindowRoles = {"frame", "window", "dialog", "alert",
                                                          "file chooser"};
bool isWindowRole(std::string_view role) {
  return std::find(kWindowRoles.begin(), kWindowRoles.end(), role) != kWindowRoles.end();
}

bool isSheetCandidate(std::string_view role) { return role == "dialog" || role == "alert"; }

// The names of the actions in a reply "a(sss)", in order.
std::vector<std::string> actionNamesIn(DBusMessage* reply) {
  std::vector<std::string> names;
  DBusMessageIter iterator;
  DBusMessageIter actions;
  dbus_message_iter_init(reply, &iterator);
  dbus_message_iter_recurse(&iterator, &actions);
  for (; dbus_message_iter_get_arg_type(&actions) == DBUS_TYPE_STRUCT;
       dbus_message_iter_next(&actions)) {
    DBusMessageIter fields;
    dbus_message_iter_recurse(&actions, &fields);
    const char* name = nullptr;
    dbus_message_iter_get_basic(&fields, &name);
    names.emplace_back(name != nullptr ? name : "");
  }
  return names;
}

const ObjectKey kRegistry{atspi::kRegistryService, std::string(atspi::kRootPath)};
const ObjectKey kBusDaemon{atspi::kBusService, atspi::kBusPath};

Rect rectOf(const Extents& extents) {
  return {static_cast<double>(extents.x), static_cast<double>(extents.y),
          static_cast<double>(extents.width), static_cast<double>(extents.height)};
}

// Whatever is asked for, no wait exceeds kLongestAccessibilityWait.
std::chrono::milliseconds millisecondsOf(double seconds) {
  const double longest = std::chrono::duration<double>(kLongestAccessibilityWait).count();
  return std::chrono::milliseconds(
      static_cast<std::int64_t>(std::ceil(std::min(seconds, longest) * 1000.0)));
}

}  // namespace

X11AccessibilityServices::X11AccessibilityServices(WindowLocator& windows,
                                                   bus::BusConnections& buses)
    : bus_(buses), facts_(bus_, waits_), screen_(windows) {}

void X11AccessibilityServices::beginRequest() {
  requestApplications_.clear();
  waits_.beginRequest();
  facts_.beginRequest();
  bus_.limitWaitsUntil(AccessibilityClock::now() + kRequestWaitBudget);
}

// --- elements -----------------------------------------------------------------------------

bool X11AccessibilityServices::busChanged() {
  forgetAfterInput();
  if (bus_.generation() == knownGeneration_) return false;
  knownGeneration_ = bus_.generation();
  facts_.clear();
  waits_.clear();
  processIds_.clear();
  requestApplications_.clear();
  guesses_.clear();
  lastDescents_.clear();
  return true;
}

const ObjectKey* X11AccessibilityServices::liveObject(const Element& element) {
  const AtspiElement* atspi = atspiElementOf(element);
  if (atspi == nullptr || atspi->kind() != AtspiElement::Kind::object) return nullptr;
  if (bus_.connection() == nullptr) return nullptr;
  (void)busChanged();
  if (atspi->generation() != bus_.generation()) return nullptr;
  return &atspi->key();
}

Element X11AccessibilityServices::elementFor(ObjectKey key) const {
  return AtspiElement::object(bus_.generation(), std::move(key));
}

std::vector<Element> X11AccessibilityServices::elementsFor(
    const std::vector<ObjectKey>& keys) const {
  std::vector<Element> elements;
  elements.reserve(keys.size());
  for (const auto& key : keys) elements.push_back(elementFor(key));
  return elements;
}

Element X11AccessibilityServices::applicationElement(std::int32_t pid) {
  if (bus_.connection() == nullptr) return AtspiElement::nothing();
  (void)busChanged();
  auto application = applicationOf(pid);
  if (!application) return AtspiElement::nothing();
  return elementFor(std::move(*application));
}

Element X11AccessibilityServices::systemWideElement() { return AtspiElement::systemWide(); }

void X11AccessibilityServices::setMessagingTimeout(const Element& element, double seconds) {
  const AtspiElement* atspi = atspiElementOf(element);
  if (atspi == nullptr || !std::isfinite(seconds)) return;
  if (atspi->kind() == AtspiElement::Kind::systemWide) {
    waits_.setStandardTimeout(seconds > 0 ? millisecondsOf(seconds) : kStandardApplicationTimeout);
    return;
  }
  const ObjectKey* key = liveObject(element);
  // Only an application element has a timeout of its own; every other element waits the
  // standard time.
  if (key == nullptr || !atspi->isApplication()) return;
  // Zero or less gives the application the standard timeout back.
  if (seconds > 0) {
    waits_.setApplicationTimeout(key->bus, millisecondsOf(seconds));
  } else {
    waits_.resetApplicationTimeout(key->bus);
  }
}

// --- attributes ---------------------------------------------------------------------------

std::optional<AttributeValue> X11AccessibilityServices::copyAttribute(const Element& element,
                                                                      std::string_view name) {
  const AtspiElement* atspi = atspiElementOf(element);
  if (atspi == nullptr) return std::nullopt;
  if (atspi->kind() == AtspiElement::Kind::systemWide) return systemWideAttribute(name);
  const ObjectKey* key = liveObject(element);
  if (key == nullptr) return std::nullopt;
  return objectAttribute(*key, atspi->isApplication(), name);
}

std::optional<AttributeValue> X11AccessibilityServices::objectAttribute(const ObjectKey& key,
                                                                        bool application,
                                                                        std::string_view name) {
  namespace names = attributes;
  if (name == names::role) {
    auto role = roleOf(key);
    if (!role) return std::nullopt;
    return std::move(*role);
  }
  if (name == names::subrole) {
    const auto role = roleOf(key);
    if (role != kPasswordRole) return std::nullopt;
    return std::string(kSecureTextField);
  }
  if (name == names::title) {
    const auto* title = facts_.fresh(facts_.read(key, kProperties).name);
    if (title == nullptr) return std::nullopt;
    return *title;
  }
  if (name == names::enabled) {
    const auto* enabled = facts_.fresh(facts_.read(key, kEnabled).enabled);
    if (enabled == nullptr) return std::nullopt;
    return *enabled;
  }
  if (name == names::children) {
    // What is not showing (the items of a closed menu, a hidden view) is no part of the
    // interface a person sees.
    const auto* children = facts_.fresh(facts_.read(key, kShowingChildren).showingChildren);
    if (children == nullptr) return std::nullopt;
    return elementsFor(*children);
  }
  if (name == names::parent) {
    // An application's parent is the registry, which is no element of anyone's interface.
    if (application) return std::nullopt;
    const auto* parent = facts_.rememberedParent(key);
    if (parent == nullptr) parent = facts_.fresh(facts_.read(key, kProperties).parent);
    if (parent == nullptr || !parent->has_value()) return std::nullopt;
    return elementFor(**parent);
  }
  if (name == names::windows) {
    if (!application) return std::nullopt;
    return elementsFor(windowsOf(key));
  }
  if (name == names::position || name == names::size) {
    return positionOf(key, name == names::size);
  }
  if (name == names::focusedWindow || name == names::focusedElement) {
    if (!application) return std::nullopt;
    const auto found = name == names::focusedWindow ? focusedWindowOf(key) : focusedElementOf(key);
    if (!found) return std::nullopt;
    return elementFor(*found);
  }
  if (name == names::focused) {
    const auto states = liveStates(key);
    if (!states) return std::nullopt;
    return hasState(*states, atspi::kStateFocused);
  }
  return std::nullopt;
}

std::optional<AttributeValue> X11AccessibilityServices::systemWideAttribute(std::string_view name) {
  if (name != attributes::focusedElement && name != attributes::focusedWindow) {
    return std::nullopt;
  }
  if (bus_.connection() == nullptr) return std::nullopt;
  (void)busChanged();
  const auto application = activeApplication();
  if (!application) return std::nullopt;
  const auto found = name == attributes::focusedWindow ? focusedWindowOf(*application)
                                                       : focusedElementOf(*application);
  if (!found) return std::nullopt;
  return elementFor(*found);
}

// A dialog or alert inside another window is a sheet; a top-level one is a window of its own.
std::optional<std::string> X11AccessibilityServices::roleOf(const ObjectKey& key) {
  const auto* fresh = facts_.fresh(facts_.read(key, kRole).role);
  if (fresh == nullptr) return std::nullopt;
  std::string role = *fresh;
  if (!isSheetCandidate(role)) return role;
  const auto* parent = facts_.fresh(facts_.read(key, kProperties).parent);
  if (parent == nullptr || !parent->has_value()) return role;
  const bool topLevel = (*parent)->bus == key.bus && (*parent)->path == atspi::kRootPath;
  return topLevel ? role : std::string(kSheetRole);
}

std::optional<AttributeValue> X11AccessibilityServices::positionOf(const ObjectKey& key,
                                                                   bool size) {
  const auto* extents = facts_.fresh(facts_.read(key, kExtents).extents);
  if (extents == nullptr || extents->width < 0 || extents->height < 0) return std::nullopt;
  if (size) {
    return Size{static_cast<double>(extents->width), static_cast<double>(extents->height)};
  }
  return Point{static_cast<double>(extents->x), static_cast<double>(extents->y)};
}

// --- applications -------------------------------------------------------------------------

// The guards of one input ask for the same application several times; its object does not
// change within a request.
std::optional<ObjectKey> X11AccessibilityServices::applicationOf(std::int32_t pid) {
  if (const auto known = requestApplications_.find(pid); known != requestApplications_.end()) {
    return known->second;
  }
  auto application = findApplication(pid);
  if (application) requestApplications_.emplace(pid, *application);
  return application;
}

std::optional<ObjectKey> X11AccessibilityServices::findApplication(std::int32_t pid) {
  const auto guess = guesses_.find(pid);
  const auto applications =
      registeredApplications(guess != guesses_.end() ? &guess->second : nullptr);
  learnProcessIds(applications);
  for (const auto& application : applications) {
    const auto found = processIds_.find(application.bus);
    if (found == processIds_.end() || found->second != pid) continue;
    learnToolkit(application);
    if (guesses_.size() >= kMostGuessedProcesses) guesses_.clear();
    auto& remembered = guesses_[pid];
    if (!(remembered.application == application)) remembered = {application, {}};
    return application;
  }
  guesses_.erase(pid);
  return std::nullopt;
}

// Once per application and bus connection. A first contact: a frozen application costs no more
// than the window lookup's timeout here, and is then left alone for the request.
void X11AccessibilityServices::learnToolkit(const ObjectKey& application) {
  if (facts_.knowsToolkit(application.bus) || waits_.silent(application.bus)) return;
  CallGroup group(bus_);
  const std::vector<CallArgument> property{std::string(atspi::kApplication),
                                           std::string("ToolkitName")};
  group.call({application, atspi::kProperties, "Get", property, "v"},
             std::min(waits_.applicationTimeout(application.bus), kFirstContactTimeout),
             [this, &application](DBusMessage* reply, CallOutcome outcome) {
               waits_.noteOutcome(application.bus, outcome);
               if (reply != nullptr)
                 facts_.learnToolkit(application.bus, reply::variantText(reply));
             });
  group.wait();
}

// The registry's list. With a guess of the application wanted, what the guards read of it next
// (its children, and what tells its windows apart) is asked at the same time: the registry and
// the application answer side by side, and when the guess holds, those reads find their answers
// waiting. A wrong guess costs only answers nobody reads.
std::vector<ObjectKey> X11AccessibilityServices::registeredApplications(
    const ApplicationGuess* guess) {
  std::vector<ObjectKey> applications;
  CallGroup group(bus_);
  group.call({kRegistry, atspi::kAccessible, "GetChildren", {}, "a(so)"}, kDirectoryTimeout,
             [&applications](DBusMessage* reply, CallOutcome) {
               if (reply != nullptr) applications = reply::references(reply);
             });
  // Only an application already asked how to be asked (its toolkit) is asked ahead.
  if (guess != nullptr && facts_.knowsToolkit(guess->application.bus)) {
    const auto timeout = waits_.applicationTimeout(guess->application.bus);
    facts_.prefetch(group, guess->application, kChildren, timeout);
    for (const auto& candidate : guess->windowCandidates) {
      facts_.prefetch(group, candidate, kWindowFacts, timeout);
    }
  }
  group.wait();
  return applications;
}

void X11AccessibilityServices::learnProcessIds(const std::vector<ObjectKey>& applications) {
  CallGroup group(bus_);
  for (const auto& application : applications) {
    if (processIds_.contains(application.bus)) continue;
    group.call(
        {kBusDaemon, atspi::kBusService, "GetConnectionUnixProcessID", {application.bus}, "u"},
        kDirectoryTimeout, [this, bus = application.bus](DBusMessage* reply, CallOutcome) {
          if (reply != nullptr) processIds_[bus] = static_cast<std::int32_t>(reply::number(reply));
        });
  }
  group.wait();
}

std::optional<std::int32_t> X11AccessibilityServices::processIdOfBus(const std::string& bus) {
  if (!processIds_.contains(bus)) learnProcessIds({ObjectKey{bus, std::string(atspi::kRootPath)}});
  const auto found = processIds_.find(bus);
  if (found == processIds_.end()) return std::nullopt;
  return found->second;
}

std::optional<std::int32_t> X11AccessibilityServices::processIdOf(const Element& element) {
  const ObjectKey* key = liveObject(element);
  if (key == nullptr) return std::nullopt;
  return processIdOfBus(key->bus);
}

std::optional<ObjectKey> X11AccessibilityServices::activeApplication() {
  const auto window = screen_.activeWindow();
  if (!window || !window->pid) return std::nullopt;
  return applicationOf(*window->pid);
}

// --- windows and focus --------------------------------------------------------------------

// The application's children with a window's role, each read together with its frame, which
// is what a window is matched by next.
std::vector<ObjectKey> X11AccessibilityServices::windowsOf(const ObjectKey& application) {
  const auto* children = facts_.fresh(facts_.read(application, kChildren).children);
  if (children == nullptr) return {};
  const std::vector<ObjectKey> candidates = *children;
  // Part of the application element's answer: its timeout applies.
  facts_.fetchMissing(candidates, kWindowFacts, waits_.applicationTimeout(application.bus));
  rememberWindowCandidates(application, candidates);
  std::vector<ObjectKey> windows;
  for (const auto& candidate : candidates) {
    const auto* role = facts_.fresh(facts_.read(candidate, kRole).role);
    if (role != nullptr && isWindowRole(*role)) windows.push_back(candidate);
  }
  return windows;
}

void X11AccessibilityServices::rememberWindowCandidates(const ObjectKey& application,
                                                        const std::vector<ObjectKey>& candidates) {
  const auto pid = processIds_.find(application.bus);
  if (pid == processIds_.end()) return;
  const auto guess = guesses_.find(pid->second);
  if (guess == guesses_.end() || !(guess->second.application == application)) return;
  const std::size_t kept = std::min(candidates.size(), kMostGuessedWindows);
  guess->second.windowCandidates.assign(candidates.begin(),
                                        candidates.begin() + static_cast<std::ptrdiff_t>(kept));
}

std::optional<std::uint64_t> X11AccessibilityServices::liveStates(const ObjectKey& key) {
  if (waits_.silent(key.bus)) return std::nullopt;
  std::optional<std::uint64_t> states;
  CallGroup group(bus_);
  group.call({key, atspi::kAccessible, "GetState", {}, "au"}, waits_.timeoutFor(key),
             [this, &key, &states](DBusMessage* reply, CallOutcome outcome) {
               waits_.noteOutcome(key.bus, outcome);
               if (reply != nullptr) states = reply::stateBits(reply);
             });
  group.wait();
  return states;
}

// The window with the active state, read afresh: focus moves without notice.
// The window with the active state. Focus moves without notice, so the states are those read
// in this request (which began after the last input, and forgets everything at the next) or
// asked now; so is the list of the application's windows.
std::optional<ObjectKey> X11AccessibilityServices::focusedWindowOf(const ObjectKey& application) {
  if (waits_.silent(application.bus)) return std::nullopt;
  const auto timeout = waits_.applicationTimeout(application.bus);
  std::vector<std::pair<ObjectKey, std::uint64_t>> activeOnes;
  CallGroup group(bus_);
  const auto askStates = [&](const std::vector<ObjectKey>& windows) {
    for (const auto& window : windows) {
      if (const auto* known = facts_.rememberedStates(window)) {
        if (hasState(*known, atspi::kStateActive)) activeOnes.emplace_back(window, *known);
        continue;
      }
      group.call({window, atspi::kAccessible, "GetState", {}, "au"}, timeout,
                 [&activeOnes, window](DBusMessage* states, CallOutcome) {
                   if (states == nullptr) return;
                   const auto bits = reply::stateBits(states);
                   if (hasState(bits, atspi::kStateActive)) activeOnes.emplace_back(window, bits);
                 });
    }
  };
  if (const auto* known = facts_.rememberedChildren(application)) {
    askStates(*known);
  } else {
    group.call({application, atspi::kAccessible, "GetChildren", {}, "a(so)"}, timeout,
               [&](DBusMessage* reply, CallOutcome outcome) {
                 waits_.noteOutcome(application.bus, outcome);
                 if (reply != nullptr) askStates(reply::references(reply));
               });
  }
  group.wait();
  for (const auto& [window, states] : activeOnes) {
    const auto role = roleOf(window);
    if (role && (isWindowRole(*role) || *role == kSheetRole)) return window;
  }
  return std::nullopt;
}

// Breadth first through what is showing of the focused window, every level's questions asked
// together, until an object says it has the focus.
std::optional<ObjectKey> X11AccessibilityServices::focusedElementOf(const ObjectKey& application) {
  const auto window = focusedWindowOf(application);
  if (!window) return std::nullopt;
  if (const auto found = focusedBySearch(*window)) {
    if (*found) return *found;
    // The search looks below the window only; the window itself may hold the focus.
    const auto states = liveStates(*window);
    if (states && hasState(*states, atspi::kStateFocused)) return *window;
    return std::nullopt;
  }
  return focusedByWalk(*window);
}

// One question to the window for its first descendant with the focused state, where the
// application answers such searches. Nothing inside: it answered and none has the focus.
//
// The keyboard guard, which alone asks for the focused element, reads next what kind of object
// has the focus and what the window holds directly (a sheet over it). Those are asked here as
// well: the window's showing children alongside the search, then the role and properties of
// each child and of the focused object together. A level is all the guard reads, so the
// window's whole subtree, which a walk over the tree would ask for, is not.
std::optional<std::optional<ObjectKey>> X11AccessibilityServices::focusedBySearch(
    const ObjectKey& window) {
  if (waits_.silent(window.bus)) return std::nullopt;
  const auto timeout = waits_.applicationTimeout(window.bus);
  std::optional<std::optional<ObjectKey>> answer;
  {
    CallGroup group(bus_);
    const StatesRule focused{std::uint64_t{1} << atspi::kStateFocused};
    const std::vector<CallArgument> arguments{focused, kCanonicalOrder, std::int32_t{1},
                                              Flag{true}};
    group.call({window, atspi::kCollection, "GetMatches", arguments, "a(so)"}, timeout,
               [this, &answer, &window](DBusMessage* reply, CallOutcome outcome) {
                 waits_.noteOutcome(window.bus, outcome);
                 if (reply == nullptr) return;
                 const auto matches = reply::references(reply);
                 answer =
                     matches.empty() ? std::nullopt : std::optional<ObjectKey>(matches.front());
               });
    if (facts_.fresh(facts_.read(window, 0).showingChildren) == nullptr) {
      facts_.prefetch(group, window, kShowingChildren, timeout);
    }
    group.wait();
  }
  std::vector<ObjectKey> readNext;
  if (const auto* children = facts_.fresh(facts_.read(window, 0).showingChildren)) {
    readNext = *children;
  }
  if (answer && *answer) readNext.push_back(**answer);
  facts_.fetchMissing(readNext, kRole | kProperties, timeout);
  return answer;
}

std::optional<ObjectKey> X11AccessibilityServices::focusedByWalk(const ObjectKey& window) {
  const auto timeout = waits_.applicationTimeout(window.bus);
  std::optional<ObjectKey> found;
  int visited = 0;
  CallGroup group(bus_);
  std::function<void(const ObjectKey&)> visit = [&](const ObjectKey& key) {
    if (found || ++visited > kMostSearched) return;
    group.call({key, atspi::kAccessible, "GetState", {}, "au"}, timeout,
               [&, key](DBusMessage* reply, CallOutcome outcome) {
                 waits_.noteOutcome(key.bus, outcome);
                 if (reply == nullptr || found) return;
                 const auto states = reply::stateBits(reply);
                 if (hasState(states, atspi::kStateFocused)) {
                   found = key;
                   return;
                 }
                 if (!hasState(states, atspi::kStateShowing)) return;
                 group.call({key, atspi::kAccessible, "GetChildren", {}, "a(so)"}, timeout,
                            [&](DBusMessage* children, CallOutcome) {
                              if (children == nullptr) return;
                              for (const auto& child : reply::references(children)) visit(child);
                            });
               });
  };
  visit(window);
  group.wait();
  return found;
}

// --- hit testing --------------------------------------------------------------------------

std::optional<Element> X11AccessibilityServices::elementAtPosition(const Element& systemWide,
                                                                   float x, float y) {
  const AtspiElement* atspi = atspiElementOf(systemWide);
  if (atspi == nullptr || !std::isfinite(x) || !std::isfinite(y)) return std::nullopt;
  const Point point{std::floor(x), std::floor(y)};
  std::optional<WindowHit> start;
  if (atspi->kind() == AtspiElement::Kind::systemWide) {
    if (bus_.connection() == nullptr) return std::nullopt;
    (void)busChanged();
    const auto window = screen_.windowAt(point);
    if (!window || !window->pid) return std::nullopt;
    const auto application = applicationOf(*window->pid);
    if (!application) return std::nullopt;
    start = windowOnScreenAt(*application, point, *window);
  } else if (atspi->isApplication() && liveObject(systemWide) != nullptr) {
    if (auto window = showingWindowAt(atspi->key(), point)) {
      start = WindowHit{std::move(*window), Descent::intoChildren};
    }
  }
  if (!start) return std::nullopt;
  if (start->descent == Descent::none) return elementFor(std::move(start->window));
  return elementFor(descend(start->window, point));
}

// From the window down, each object asked for its child at the point until one answers with
// none or itself. Each answer depends on the one before, so a descent costs a round trip per
// level; but the objects the last descent from this window went through are asked at the same
// time as the first, and their answers serve as long as the new descent goes the same way. A
// different turn is asked on from there. Every answer used is one this descent asked for.
ObjectKey X11AccessibilityServices::descend(const ObjectKey& window, Point point) {
  std::vector<ObjectKey> path;
  ObjectKey current = window;
  std::vector<ObjectKey> guessed;
  if (const auto last = lastDescents_.find(window); last != lastDescents_.end()) {
    guessed = last->second;
  }
  bool ended = false;
  while (!ended && static_cast<int>(path.size()) < kDeepestHit) {
    std::vector<ObjectKey> asked{current};
    for (const auto& key : guessed) {
      if (!(key == current)) asked.push_back(key);
    }
    guessed.clear();
    const auto answers = childrenAtPoint(asked, point);
    // Follows the answers while each names an object that was asked too.
    while (static_cast<int>(path.size()) < kDeepestHit) {
      const auto answer = answers.find(current);
      if (answer == answers.end()) break;  // not asked in this batch: ask on
      const auto& next = answer->second;
      if (!next || *next == current) {
        ended = true;
        break;
      }
      // The object asked answers with one of its children: the walk back up from the hit needs
      // not ask every object on the way for its parent again.
      facts_.learnParent(*next, current);
      path.push_back(*next);
      current = *next;
    }
  }
  rememberDescent(window, std::move(path));
  return current;
}

void X11AccessibilityServices::rememberDescent(const ObjectKey& window,
                                               std::vector<ObjectKey> path) {
  if (lastDescents_.size() >= kMostRememberedDescents) lastDescents_.clear();
  // The last object answered that it has no child there; asking it again ends the descent.
  lastDescents_[window] = std::move(path);
}

// Each object's child at the point, asked all at once; nothing inside for an object that
// answered with none or could not answer.
std::unordered_map<ObjectKey, std::optional<ObjectKey>, ObjectKeyHash>
X11AccessibilityServices::childrenAtPoint(const std::vector<ObjectKey>& keys, Point point) {
  std::unordered_map<ObjectKey, std::optional<ObjectKey>, ObjectKeyHash> answers;
  CallGroup group(bus_);
  const std::vector<CallArgument> where{static_cast<std::int32_t>(point.x),
                                        static_cast<std::int32_t>(point.y),
                                        atspi::kScreenCoordinates};
  for (const auto& key : keys) {
    if (waits_.silent(key.bus)) {
      answers[key] = std::nullopt;
      continue;
    }
    group.call(
        {key, atspi::kComponent, "GetAccessibleAtPoint", where, "(so)"}, waits_.timeoutFor(key),
        [this, &answers, key](DBusMessage* reply, CallOutcome outcome) {
          waits_.noteOutcome(key.bus, outcome);
          answers[key] = reply != nullptr ? reply::reference(reply) : std::optional<ObjectKey>();
        });
  }
  group.wait();
  return answers;
}

// The accessible window of the top-level window on screen: the application's showing window
// whose extents are its frame or its client area (toolkits report either). Where those extents
// hold the point, its children are asked further; elsewhere in the frame the point is on the
// decorations, which belong to the window, so the window itself is hit. Nothing when no window
// matches: any other window of the application lies elsewhere or under the one on top, and a
// hit on it would be a hit through the window that takes the click.
std::optional<X11AccessibilityServices::WindowHit> X11AccessibilityServices::windowOnScreenAt(
    const ObjectKey& application, Point point, const LocatedWindow& onScreen) {
  if (!onScreen.frame.contains(point)) return std::nullopt;
  for (auto& window : windowsOf(application)) {
    const NodeFacts& facts = facts_.read(window, kStates | kExtents);
    const auto* extents = facts_.fresh(facts.extents);
    const auto* states = facts_.fresh(facts.states);
    if (extents == nullptr || states == nullptr || !hasState(*states, atspi::kStateShowing)) {
      continue;
    }
    const Rect area = rectOf(*extents);
    if (!(area == onScreen.frame) && !(area == onScreen.clientArea)) continue;
    const Descent descent = area.contains(point) ? Descent::intoChildren : Descent::none;
    return WindowHit{std::move(window), descent};
  }
  return std::nullopt;
}

// Of the application's showing windows, the first that holds the point: an application element
// asked for a point has no window on screen to match.
std::optional<ObjectKey> X11AccessibilityServices::showingWindowAt(const ObjectKey& application,
                                                                   Point point) {
  for (auto& window : windowsOf(application)) {
    const NodeFacts& facts = facts_.read(window, kStates | kExtents);
    const auto* extents = facts_.fresh(facts.extents);
    const auto* states = facts_.fresh(facts.states);
    if (extents == nullptr || states == nullptr) continue;
    if (hasState(*states, atspi::kStateShowing) && rectOf(*extents).contains(point)) return window;
  }
  return std::nullopt;
}

void X11AccessibilityServices::forgetRemembered() { facts_.forget(); }

void X11AccessibilityServices::inputPosted() {
  inputEpoch_.fetch_add(1, std::memory_order_relaxed);
}

void X11AccessibilityServices::forgetAfterInput() {
  const std::uint64_t epoch = inputEpoch_.load(std::memory_order_relaxed);
  if (epoch == seenInputEpoch_) return;
  seenInputEpoch_ = epoch;
  facts_.forget();
}

// --- actions ------------------------------------------------------------------------------

bool X11AccessibilityServices::setFocused(const Element& element) {
  const ObjectKey* key = liveObject(element);
  if (key == nullptr) return false;
  return grabFocus(*key);
}

bool X11AccessibilityServices::performAction(const Element& element, std::string_view action) {
  const ObjectKey* key = liveObject(element);
  if (key == nullptr) return false;
  if (action == actions::press) return press(*key);
  if (action == actions::raise) return raiseWindow(*key);
  return false;
}

// GTK refuses the focus to a window asked through accessibility, so the window system raises
// it: the X window of the element's process with the element's frame, read afresh.
bool X11AccessibilityServices::raiseWindow(const ObjectKey& key) {
  facts_.forget();
  const auto* extents = facts_.fresh(facts_.read(key, kExtents).extents);
  const auto pid = processIdOfBus(key.bus);
  if (extents == nullptr || !pid) return false;
  const bool done = screen_.raise(*pid, rectOf(*extents));
  facts_.forget();
  return done;
}

bool X11AccessibilityServices::grabFocus(const ObjectKey& key) {
  const bool done = askBoolean({key, atspi::kComponent, "GrabFocus", {}, "b"});
  facts_.forget();
  return done;
}

bool X11AccessibilityServices::press(const ObjectKey& key) {
  const auto index = pressActionIndex(key);
  if (!index) return false;
  const bool done = askBoolean({key, atspi::kAction, "DoAction", {*index}, "b"});
  facts_.forget();
  return done;
}

std::optional<std::int32_t> X11AccessibilityServices::pressActionIndex(const ObjectKey& key) {
  if (waits_.silent(key.bus)) return std::nullopt;
  std::optional<std::int32_t> index;
  CallGroup group(bus_);
  group.call({key, atspi::kAction, "GetActions", {}, "a(sss)"}, waits_.timeoutFor(key),
             [this, &key, &index](DBusMessage* reply, CallOutcome outcome) {
               waits_.noteOutcome(key.bus, outcome);
               if (reply == nullptr) return;
               if (const auto preferred = preferredPressAction(actionNamesIn(reply))) {
                 index = static_cast<std::int32_t>(*preferred);
               }
             });
  group.wait();
  return index;
}

bool X11AccessibilityServices::askBoolean(const MethodOnObject& method) {
  const ObjectKey& key = method.target;
  if (waits_.silent(key.bus)) return false;
  bool answer = false;
  CallGroup group(bus_);
  group.call(method, waits_.timeoutFor(key),
             [this, &key, &answer](DBusMessage* reply, CallOutcome outcome) {
               waits_.noteOutcome(key.bus, outcome);
               if (reply != nullptr) answer = reply::number(reply) != 0;
             });
  group.wait();
  return answer;
}

}  // namespace kex::platform::atspi

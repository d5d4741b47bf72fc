// Other applications' user interfaces as AT-SPI 2 shows them on the accessibility bus.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/accessibility.h"
#include "platform/linux/atspi/accessibility_bus.h"
#include "platform/linux/atspi/accessibility_element.h"
#include "platform/linux/atspi/accessibility_facts.h"
#include "platform/linux/atspi/application_waits.h"
#include "platform/linux/atspi/window_locator.h"
#include "platform/linux/bus/dbus_calls.h"

namespace kex::platform::atspi {

// Request thread only: the bus connection's replies are dispatched only while that thread
// waits for them, and every remembered fact and timeout is that thread's alone. The one
// exception is inputPosted(), which any thread may call.
class X11AccessibilityServices final : public AccessibilityServices {
 public:
  // windows tells which window lies under a point and which is active.
  X11AccessibilityServices(WindowLocator& windows, bus::BusConnections& buses);

  void beginRequest() override;
  [[nodiscard]] Element applicationElement(std::int32_t pid) override;
  [[nodiscard]] Element systemWideElement() override;
  void setMessagingTimeout(const Element& element, double seconds) override;
  [[nodiscard]] std::optional<AttributeValue> copyAttribute(const Element& element,
                                                            std::string_view name) override;
  [[nodiscard]] bool setFocused(const Element& element) override;
  [[nodiscard]] bool performAction(const Element& element, std::string_view action) override;
  [[nodiscard]] std::optional<Element> elementAtPosition(const Element& systemWide, float x,
                                                         float y) override;
  [[nodiscard]] std::optional<std::int32_t> processIdOf(const Element& element) override;
  void forgetRemembered() override;

  // Any thread: an input event went to the desktop, so whatever was read before it may show
  // what no longer is; the next read on the request thread forgets it all.
  void inputPosted();

 private:
  // The element's object when it belongs to the current connection of a live bus.
  [[nodiscard]] const ObjectKey* liveObject(const Element& element);
  [[nodiscard]] bool busChanged();
  void forgetAfterInput();
  [[nodiscard]] Element elementFor(ObjectKey key) const;
  [[nodiscard]] std::vector<Element> elementsFor(const std::vector<ObjectKey>& keys) const;

  [[nodiscard]] std::optional<AttributeValue> objectAttribute(const ObjectKey& key,
                                                              bool application,
                                                              std::string_view name);
  [[nodiscard]] std::optional<AttributeValue> systemWideAttribute(std::string_view name);
  [[nodiscard]] std::optional<std::string> roleOf(const ObjectKey& key);
  [[nodiscard]] std::optional<AttributeValue> positionOf(const ObjectKey& key, bool size);

  [[nodiscard]] std::optional<ObjectKey> applicationOf(std::int32_t pid);
  [[nodiscard]] std::optional<ObjectKey> findApplication(std::int32_t pid);
  struct ApplicationGuess;
  [[nodiscard]] std::vector<ObjectKey> registeredApplications(const ApplicationGuess* guess);
  void rememberWindowCandidates(const ObjectKey& application,
                                const std::vector<ObjectKey>& candidates);
  [[nodiscard]] std::optional<std::int32_t> processIdOfBus(const std::string& bus);
  void learnProcessIds(const std::vector<ObjectKey>& applications);
  void learnToolkit(const ObjectKey& application);

  [[nodiscard]] std::vector<ObjectKey> windowsOf(const ObjectKey& application);
  [[nodiscard]] std::optional<ObjectKey> focusedWindowOf(const ObjectKey& application);
  [[nodiscard]] std::optional<ObjectKey> focusedElementOf(const ObjectKey& application);
  [[nodiscard]] std::optional<std::optional<ObjectKey>> focusedBySearch(const ObjectKey& window);
  [[nodiscard]] std::optional<ObjectKey> focusedByWalk(const ObjectKey& window);
  [[nodiscard]] std::optional<ObjectKey> activeApplication();
  [[nodiscard]] std::optional<std::uint64_t> liveStates(const ObjectKey& key);
  // Whether a hit test goes on from a window into its children at the point.
  enum class Descent { intoChildren, none };
  struct WindowHit {
    ObjectKey window;
    Descent descent;
  };
  [[nodiscard]] std::optional<WindowHit> windowOnScreenAt(const ObjectKey& application, Point point,
                                                          const LocatedWindow& onScreen);
  [[nodiscard]] std::optional<ObjectKey> showingWindowAt(const ObjectKey& application, Point point);
  [[nodiscard]] ObjectKey descend(const ObjectKey& window, Point point);
  void rememberDescent(const ObjectKey& window, std::vector<ObjectKey> path);
  [[nodiscard]] std::unordered_map<ObjectKey, std::optional<ObjectKey>, ObjectKeyHash>
  childrenAtPoint(const std::vector<ObjectKey>& keys, Point point);

  [[nodiscard]] bool grabFocus(const ObjectKey& key);
  [[nodiscard]] bool raiseWindow(const ObjectKey& key);
  [[nodiscard]] bool press(const ObjectKey& key);
  [[nodiscard]] std::optional<std::int32_t> pressActionIndex(const ObjectKey& key);
  // Calls a method whose reply is one boolean; false when it fails.
  [[nodiscard]] bool askBoolean(const MethodOnObject& method);

  AccessibilityBus bus_;
  ApplicationWaits waits_;
  FactReader facts_;
  WindowLocator& screen_;
  // Unique bus names are never reused while the bus lives, so their processes are learned once
  // per connection.
  std::unordered_map<std::string, std::int32_t> processIds_;
  std::uint64_t knownGeneration_ = 0;
  // The application object of each process asked for in the current request.
  std::unordered_map<std::int32_t, ObjectKey> requestApplications_;
  // What earlier requests found of each process: its application object, and the children of
  // that object that were asked about as its windows. Never an answer by itself, only what to
  // ask about while the registry is asked which application the process has now.
  struct ApplicationGuess {
    ObjectKey application;
    std::vector<ObjectKey> windowCandidates;
  };
  std::unordered_map<std::int32_t, ApplicationGuess> guesses_;
  // Each window's objects that its last hit test went down through, the window left out.
  std::unordered_map<ObjectKey, std::vector<ObjectKey>, ObjectKeyHash> lastDescents_;
  // Counts posted input events; seenInputEpoch_ is the count the facts were last forgotten at.
  std::atomic<std::uint64_t> inputEpoch_{0};
  std::uint64_t seenInputEpoch_ = 0;
};

}  // namespace kex::platform::atspi

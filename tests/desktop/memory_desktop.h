// A complete in-memory desktop that tests script and read back.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/desktop.h"
#include "threads/mutex.h"

namespace kex::testing {

// Every boundary operation, so that a test can make any of them fail.
enum class Op {
  currentSession,
  screenCaptureAccess,
  accessibilityTrusted,
  postEventAccess,
  listenEventAccess,
  supportsCapture,
  supportsControl,
  activeDisplays,
  activeDisplay,
  post,
  createInputTap,
  shareableContent,
  liveWindow,
  processRecord,
  captureDisplay,
  captureWindow,
  copyAttribute,
  beginAccessibilityRequest,
  frontmostProcessId,
  activateApplication,
  setFocused,
  performAction,
  elementAtPosition,
  processIdOf,
  forgetRemembered,
};

// An accessibility action the desktop carried out: "AXPress", "AXRaise", or "AXFocused" for a
// focus set on the element.
struct PerformedAction {
  int element = 0;
  std::string action;

  bool operator==(const PerformedAction&) const = default;
};

// How posting fails while a test makes it fail (setFailing(Op::post)).
enum class PostFailure {
  // The desktop cannot make the input: nothing is posted (EventNotPosted, unrepresentable).
  refused,
  // The way to the desktop is gone: nothing is posted (EventNotPosted, undelivered).
  undelivered,
  // The connection broke on the way: the event is recorded as posted, as it may have arrived,
  // and post throws PlatformError.
  partial,
};

// What a display capture of the in-memory desktop shows.
enum class Picture { flat, noise };

// The permissions a person grants; every one is granted until a test revokes it.
enum class Permission { capture, accessibility, postEvents, listenEvents };

// One accessibility element of the in-memory desktop. Plain attributes live in `attributes`;
// the structure (children, parent) is kept as element numbers.
struct MemoryElement {
  int id = 0;
  std::int32_t pid = 0;
  std::optional<int> parent;
  std::vector<int> children;
  bool childrenReadable = true;
  std::map<std::string, platform::AttributeValue, std::less<>> attributes;
  std::set<std::string, std::less<>> unreadable;  // attributes whose reading fails
};

// A window of the in-memory desktop with its live state. The listing reports `info` as it
// stands at that moment; the live record reports the fields below it.
struct MemoryWindow {
  platform::WindowInfo info;
  bool onScreen = true;
  // What a capture of the window shows: a solid colour, and optionally one rectangle of
  // another colour in image pixels.
  std::uint8_t color[3] = {200, 100, 50};
  std::optional<platform::Rect> spot;
  std::uint8_t spotColor[3] = {255, 255, 255};
  // Decorations drawn around the application's own area, in image pixels: everything outside
  // this rectangle is light grey, and captures say which part is the application's.
  std::optional<platform::Rect> painted;
  // The application has not painted the window: captures come back withheld.
  bool unpainted = false;
};

// A process of the in-memory desktop.
struct MemoryProcess {
  platform::ProcessRecord record;
  std::optional<std::string> bundleIdentifier;
};

// Any thread: every member takes mutex_. The desktop is its own set of services.
//
// Input: posted events are kept in order (posted()), change the keys and buttons the desktop
// holds down, and reach a running input tap as input of this process (ownProcessId()). A test
// feeds the tap with input of any process and can disable it as the system would. The tap runs
// on the thread that calls its run(), as a real one does. A key-down with text leaves typing
// changes in place (as temporary key bindings are on X) until a key-up with text or an undoing of
// abandoned typing.
class MemoryDesktop final : public platform::Desktop,
                            private platform::SessionServices,
                            private platform::SystemServices,
                            private platform::DisplayServices,
                            private platform::EventServices,
                            private platform::WindowServices,
                            private platform::CaptureServices,
                            private platform::AccessibilityServices,
                            private platform::Clock {
 public:
  // The process id the desktop reports as this process's own.
  static constexpr std::int32_t kOwnProcessId = 4242;

  // Starts as an active session of user 501 with every permission, one 1920 by 1080 display
  // with identifier 1, and the clock at a fixed moment.
  MemoryDesktop();

  platform::SessionServices& session() override { return *this; }
  platform::SystemServices& system() override { return *this; }
  platform::DisplayServices& displays() override { return *this; }
  platform::EventServices& events() override { return *this; }
  platform::WindowServices& windows() override { return *this; }
  platform::CaptureServices& capture() override { return *this; }
  platform::AccessibilityServices& accessibility() override { return *this; }
  platform::Clock& clock() override { return *this; }

  // Scripting: session.
  void setUserId(std::uint32_t uid);
  void setSession(std::optional<platform::SessionDescription> description);
  void setSessionValue(const std::string& key, platform::SessionValue value);
  void lockScreen();
  void unlockScreen();

  // Scripting: permissions and system facts.
  void revoke(Permission permission);
  void grant(Permission permission);
  void setSupport(bool displayCapture, bool windowCapture, bool control);
  void setProtectedBundleNames(std::vector<std::string> names);

  // Scripting: displays.
  void addDisplay(const platform::DisplayInfo& display);
  void removeDisplay(std::uint32_t id);
  void moveDisplay(std::uint32_t id, double x, double y);
  void resizeDisplay(std::uint32_t id, double width, double height, std::int64_t pixelWidth,
                     std::int64_t pixelHeight);
  void rotateDisplay(std::uint32_t id, double degrees);
  void clearDisplays();

  // Scripting: windows and processes. Windows are listed front to back in insertion order.
  // A new process belongs to the desktop's user and starts at the current clock.
  void addProcess(std::int32_t pid, std::optional<std::string> bundleIdentifier);
  void relaunchProcess(std::int32_t pid);
  void setProcessUser(std::int32_t pid, std::uint32_t uid);
  // Adds a window of an existing process, on screen, at layer 0; returns its window number.
  std::uint32_t addWindow(std::int32_t pid, platform::Rect frame, std::optional<std::string> title,
                          std::string application = "App");
  // Direct access for scripting; the reference stays valid until the next addWindow.
  MemoryWindow& window(std::uint32_t windowId);
  void removeWindow(std::uint32_t windowId);
  // Puts the window in front of every other, in the listing and for hit tests. Windows of any
  // layer (popups, menus, tooltips) take part in hit tests, though only layer 0 is listed.
  void raiseWindow(std::uint32_t windowId);
  void setPointPixelScale(double scale);
  // What display captures show: flat grey, or noise that no encoder can compress (for the
  // limits on encoded size).
  void setDisplayPicture(Picture picture);

  // Scripting: accessibility. Element 0 never exists; numbers count up from 1.
  // Adds an element of the process under `parent` (or as a window of the application when
  // there is no parent) with a role and a title; returns its number.
  int addElement(std::int32_t pid, std::optional<int> parent, const std::string& role,
                 const std::string& title = "");
  // Adds the accessibility window of a listed window: same frame and title, role "frame".
  int addAccessibleWindow(std::uint32_t windowId);
  MemoryElement& element(int id);
  [[nodiscard]] platform::Element handle(int id) const;
  [[nodiscard]] static int numberOf(const platform::Element& element);
  [[nodiscard]] std::optional<double> messagingTimeout(std::int32_t pid);

  // Scripting: focus. The frontmost application receives keyboard input; each application has
  // a focused window and a focused element (element numbers), read as its "AXFocusedWindow"
  // and "AXFocusedUIElement".
  void setFrontmost(std::optional<std::int32_t> pid);
  void setFocusedWindow(std::int32_t pid, std::optional<int> element);
  void setFocusedElement(std::int32_t pid, std::optional<int> element);
  // Whether "AXRaise" makes the window the focused window of its application and brings it to
  // the front (true), or is accepted and changes nothing (false).
  void setRaiseTakesEffect(bool effective);
  // The frame an element is hit at: sets its "AXPosition" and "AXSize".
  void setElementFrame(int id, platform::Rect frame);

  // A hit test at a point (elementAtPosition on the system-wide element) finds: the
  // front-most on-screen window holding the point decides the application; within it, the
  // accessible window with that window's frame or client area (nothing when none has), and the
  // deepest child whose frame holds the point; a point outside the accessible window's frame is
  // on the decorations, and hits the accessible window. Elements without a frame are never hit.

  // Scripting: failures and time.
  void setFailing(Op op, bool failing = true);
  // How a failing post fails; undelivered until a test says otherwise.
  void setPostFailure(PostFailure failure);
  // The most lines of scroll a wheel event carries (1000 unless set); post refuses more.
  void setMaxScrollLines(std::int32_t lines);
  void advance(platform::Duration by);
  void setNow(platform::Timestamp now);
  // Every reading of a live window record moves the clock on by this much, as a slow window
  // server would.
  void setLiveWindowDelay(platform::Duration delay);
  // Runs after every posted event, with the event, outside the desktop's lock: a script of
  // what happens on the desktop while an operation is under way.
  void setPostHook(std::function<void(const platform::Event&)> hook);

  // Scripting: the input tap.
  // Delivers the input to the running tap and waits until its listener has returned; false when
  // no tap is running.
  bool feedInput(platform::EventType type, std::int32_t sourceProcessId);
  // The system disables the tap: its listener hears of it and the tap stops.
  void disableTap();
  // The tap dies without notice; only asking it shows it.
  void invalidateTap();
  // While blocked, creating a tap waits (as a desktop that does not answer).
  void blockTapStart(bool blocked);
  // Waits until the tap has delivered everything posted or fed so far.
  void waitUntilTapIdle();
  [[nodiscard]] int tapStarts();
  [[nodiscard]] bool tapRunning();

  // Reading back.
  [[nodiscard]] std::vector<platform::Event> posted();
  [[nodiscard]] std::vector<PerformedAction> performed();
  [[nodiscard]] std::optional<std::int32_t> frontmost();
  [[nodiscard]] std::optional<int> focusedWindowOf(std::int32_t pid);
  [[nodiscard]] std::optional<int> focusedElementOf(std::int32_t pid);
  // Keys (virtual key codes) and buttons (the types of their down events) posted down and not
  // yet up.
  [[nodiscard]] std::set<std::uint16_t> heldKeys();
  [[nodiscard]] std::set<platform::EventType> heldButtons();
  // Whether a text key-down left typing changes in place, and, for every undoing of abandoned
  // typing, how many events had been posted by then.
  [[nodiscard]] bool typingChangesInPlace();
  [[nodiscard]] std::vector<std::size_t> typingUndone();
  [[nodiscard]] std::vector<Op> calls();
  void clearCalls();

 private:
  std::optional<platform::SessionDescription> currentSession() override;
  std::uint32_t realUserId() override;
  bool screenCaptureAccess() override;
  bool accessibilityTrusted() override;
  bool postEventAccess() override;
  bool listenEventAccess() override;
  bool supportsCapture(platform::CaptureKind kind) override;
  bool supportsControl() override;
  std::vector<std::string> protectedBundleNames() override;
  std::string backendName() override;
  std::vector<std::string> limitations() override;
  std::optional<std::vector<platform::DisplayInfo>> activeDisplays() override;
  std::optional<platform::DisplayInfo> activeDisplay(std::uint32_t id) override;
  void post(const platform::Event& event) override;
  std::int32_t maxScrollLines() override;
  void undoAbandonedTyping() override;
  std::unique_ptr<platform::InputTap> createInputTap(platform::InputTapListener& listener) override;
  platform::ShareableContent shareableContent() override;
  std::optional<std::vector<platform::LiveWindow>> liveWindow(std::uint32_t windowId) override;
  std::optional<std::string> bundleIdentifierOf(std::int32_t pid) override;
  std::optional<std::int32_t> frontmostProcessId() override;
  bool activateApplication(std::int32_t pid) override;
  std::optional<platform::ProcessRecord> processRecord(std::int32_t pid) override;
  std::int32_t ownProcessId() override;
  std::int32_t parentProcessId() override;
  double pointPixelScale(const platform::WindowInfo& window) override;
  platform::Image captureDisplay(const platform::DisplayContent& display, std::int64_t width,
                                 std::int64_t height, platform::CursorMode cursor) override;
  platform::Image captureWindow(const platform::WindowInfo& window, std::int64_t width,
                                std::int64_t height) override;
  void beginRequest() override;
  platform::Element applicationElement(std::int32_t pid) override;
  platform::Element systemWideElement() override;
  void setMessagingTimeout(const platform::Element& element, double seconds) override;
  std::optional<platform::AttributeValue> copyAttribute(const platform::Element& element,
                                                        std::string_view name) override;
  bool setFocused(const platform::Element& element) override;
  bool performAction(const platform::Element& element, std::string_view action) override;
  std::optional<platform::Element> elementAtPosition(const platform::Element& systemWide, float x,
                                                     float y) override;
  std::optional<std::int32_t> processIdOf(const platform::Element& element) override;
  void forgetRemembered() override;
  platform::Timestamp now() override;
  void sleep(platform::Duration duration) override;

  class MemoryInputTap;
  // The one tap the desktop runs at a time; guarded by mutex_.
  struct TapState {
    bool exists = false;
    bool running = false;
    bool valid = true;
    bool enabled = true;
    bool stopped = false;
    bool disabledBySystem = false;
    bool disableHeard = false;  // the listener returned from tapDisabled()
    platform::InputTapListener* listener = nullptr;
    std::deque<platform::ObservedInput> queue;
    std::uint64_t queued = 0;
    std::uint64_t delivered = 0;
  };

  // Records the call; true when the test made the operation fail.
  bool enter(Op op) REQUIRES(mutex_);
  [[nodiscard]] bool granted(Permission permission) const REQUIRES(mutex_);
  void trackHeld(const platform::Event& event) REQUIRES(mutex_);
  [[nodiscard]] bool tapAccepts() const REQUIRES(mutex_);
  platform::DisplayInfo* findDisplay(std::uint32_t id) REQUIRES(mutex_);
  MemoryWindow* findWindow(std::uint32_t windowId) REQUIRES(mutex_);
  [[nodiscard]] std::optional<platform::Rect> frameOf(int element) const REQUIRES(mutex_);
  [[nodiscard]] std::optional<int> deepestAt(int element, platform::Point point) const
      REQUIRES(mutex_);
  [[nodiscard]] std::optional<std::int32_t> ownerOfElement(int element) const REQUIRES(mutex_);

  threads::Mutex mutex_;
  threads::ConditionVariable tapChanged_;
  TapState tap_ GUARDED_BY(mutex_);
  bool tapStartBlocked_ GUARDED_BY(mutex_) = false;
  int tapStarts_ GUARDED_BY(mutex_) = 0;
  std::set<std::uint16_t> heldKeys_ GUARDED_BY(mutex_);
  std::set<platform::EventType> heldButtons_ GUARDED_BY(mutex_);
  std::uint32_t uid_ GUARDED_BY(mutex_) = 501;
  std::optional<platform::SessionDescription> session_ GUARDED_BY(mutex_);
  std::set<Permission> revoked_ GUARDED_BY(mutex_);
  bool displayCaptureSupported_ GUARDED_BY(mutex_) = true;
  bool windowCaptureSupported_ GUARDED_BY(mutex_) = true;
  bool controlSupported_ GUARDED_BY(mutex_) = true;
  std::vector<platform::DisplayInfo> displays_ GUARDED_BY(mutex_);
  std::set<Op> failing_ GUARDED_BY(mutex_);
  std::vector<Op> calls_ GUARDED_BY(mutex_);
  std::vector<platform::Event> posted_ GUARDED_BY(mutex_);
  bool typingChangesInPlace_ GUARDED_BY(mutex_) = false;
  std::vector<std::size_t> typingUndone_ GUARDED_BY(mutex_);
  std::vector<MemoryWindow> windows_ GUARDED_BY(mutex_);
  std::map<std::int32_t, MemoryProcess> processes_ GUARDED_BY(mutex_);
  std::uint32_t nextWindowId_ GUARDED_BY(mutex_) = 100;
  std::optional<std::int32_t> frontmost_ GUARDED_BY(mutex_);
  std::map<std::int32_t, int> focusedWindows_ GUARDED_BY(mutex_);
  std::map<std::int32_t, int> focusedElements_ GUARDED_BY(mutex_);
  bool raiseTakesEffect_ GUARDED_BY(mutex_) = true;
  std::vector<PerformedAction> performed_ GUARDED_BY(mutex_);
  std::vector<std::string> protectedNames_ GUARDED_BY(mutex_);
  double pointPixelScale_ GUARDED_BY(mutex_) = 1.0;
  Picture displayPicture_ GUARDED_BY(mutex_) = Picture::flat;
  std::map<int, MemoryElement> elements_ GUARDED_BY(mutex_);
  std::map<std::int32_t, std::vector<int>> applicationWindows_ GUARDED_BY(mutex_);
  std::map<std::int32_t, double> messagingTimeouts_ GUARDED_BY(mutex_);
  int nextElement_ GUARDED_BY(mutex_) = 1;
  platform::Timestamp now_ GUARDED_BY(mutex_);
  platform::Duration liveWindowDelay_ GUARDED_BY(mutex_) = platform::Duration{0};
  std::function<void(const platform::Event&)> postHook_ GUARDED_BY(mutex_);
  PostFailure postFailure_ GUARDED_BY(mutex_) = PostFailure::undelivered;
  std::int32_t maxScrollLines_ GUARDED_BY(mutex_) = 1000;
};

}  // namespace kex::testing

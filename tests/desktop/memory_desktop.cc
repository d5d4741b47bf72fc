#include "tests/desktop/memory_desktop.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <random>

namespace kex::testing {

using platform::DisplayInfo;
using platform::Event;

MemoryDesktop::MemoryDesktop() : now_(platform::Timestamp(std::chrono::seconds(1'800'000'000))) {
  setSession(platform::SessionDescription{
      {platform::kSessionUserIdKey, std::int64_t{501}},
      {platform::kSessionOnConsoleKey, true},
  });
  displays_.push_back(DisplayInfo{1, {0, 0, 1920, 1080}, 1920, 1080, 0});
}

void MemoryDesktop::setUserId(std::uint32_t uid) {
  threads::Lock guard(mutex_);
  uid_ = uid;
}

void MemoryDesktop::setSession(std::optional<platform::SessionDescription> description) {
  threads::Lock guard(mutex_);
  session_ = std::move(description);
}

void MemoryDesktop::setSessionValue(const std::string& key, platform::SessionValue value) {
  threads::Lock guard(mutex_);
  if (!session_) session_.emplace();
  (*session_)[key] = std::move(value);
}

void MemoryDesktop::lockScreen() { setSessionValue(platform::kSessionScreenIsLockedKey, true); }

void MemoryDesktop::unlockScreen() { setSessionValue(platform::kSessionScreenIsLockedKey, false); }

void MemoryDesktop::revoke(Permission permission) {
  threads::Lock guard(mutex_);
  revoked_.insert(permission);
}

void MemoryDesktop::grant(Permission permission) {
  threads::Lock guard(mutex_);
  revoked_.erase(permission);
}

bool MemoryDesktop::granted(Permission permission) const { return !revoked_.contains(permission); }

void MemoryDesktop::setSupport(bool displayCapture, bool windowCapture, bool control) {
  threads::Lock guard(mutex_);
  displayCaptureSupported_ = displayCapture;
  windowCaptureSupported_ = windowCapture;
  controlSupported_ = control;
}

void MemoryDesktop::setProtectedBundleNames(std::vector<std::string> names) {
  threads::Lock guard(mutex_);
  protectedNames_ = std::move(names);
}

void MemoryDesktop::addDisplay(const DisplayInfo& display) {
  threads::Lock guard(mutex_);
  displays_.push_back(display);
}

void MemoryDesktop::removeDisplay(std::uint32_t id) {
  threads::Lock guard(mutex_);
  std::erase_if(displays_, [id](const DisplayInfo& d) { return d.id == id; });
}

DisplayInfo* MemoryDesktop::findDisplay(std::uint32_t id) {
  auto found = std::find_if(displays_.begin(), displays_.end(),
                            [id](const DisplayInfo& d) { return d.id == id; });
  return found == displays_.end() ? nullptr : &*found;
}

void MemoryDesktop::moveDisplay(std::uint32_t id, double x, double y) {
  threads::Lock guard(mutex_);
  if (auto* display = findDisplay(id)) {
    display->bounds.x = x;
    display->bounds.y = y;
  }
}

void MemoryDesktop::resizeDisplay(std::uint32_t id, double width, double height,
                                  std::int64_t pixelWidth, std::int64_t pixelHeight) {
  threads::Lock guard(mutex_);
  if (auto* display = findDisplay(id)) {
    display->bounds.width = width;
    display->bounds.height = height;
    display->pixelWidth = pixelWidth;
    display->pixelHeight = pixelHeight;
  }
}

void MemoryDesktop::rotateDisplay(std::uint32_t id, double degrees) {
  threads::Lock guard(mutex_);
  if (auto* display = findDisplay(id)) display->rotation = degrees;
}

void MemoryDesktop::clearDisplays() {
  threads::Lock guard(mutex_);
  displays_.clear();
}

void MemoryDesktop::setFailing(Op op, bool failing) {
  threads::Lock guard(mutex_);
  if (failing) {
    failing_.insert(op);
  } else {
    failing_.erase(op);
  }
}

void MemoryDesktop::advance(platform::Duration by) {
  threads::Lock guard(mutex_);
  now_ += by;
}

void MemoryDesktop::setNow(platform::Timestamp now) {
  threads::Lock guard(mutex_);
  now_ = now;
}

std::vector<Event> MemoryDesktop::posted() {
  threads::Lock guard(mutex_);
  return posted_;
}

std::vector<Op> MemoryDesktop::calls() {
  threads::Lock guard(mutex_);
  return calls_;
}

void MemoryDesktop::clearCalls() {
  threads::Lock guard(mutex_);
  calls_.clear();
}

bool MemoryDesktop::enter(Op op) {
  calls_.push_back(op);
  return failing_.count(op) != 0;
}

std::optional<platform::SessionDescription> MemoryDesktop::currentSession() {
  threads::Lock guard(mutex_);
  if (enter(Op::currentSession)) return std::nullopt;
  return session_;
}

std::uint32_t MemoryDesktop::realUserId() {
  threads::Lock guard(mutex_);
  return uid_;
}

bool MemoryDesktop::screenCaptureAccess() {
  threads::Lock guard(mutex_);
  return !enter(Op::screenCaptureAccess) && granted(Permission::capture);
}

bool MemoryDesktop::accessibilityTrusted() {
  threads::Lock guard(mutex_);
  return !enter(Op::accessibilityTrusted) && granted(Permission::accessibility);
}

bool MemoryDesktop::postEventAccess() {
  threads::Lock guard(mutex_);
  return !enter(Op::postEventAccess) && granted(Permission::postEvents);
}

bool MemoryDesktop::listenEventAccess() {
  threads::Lock guard(mutex_);
  return !enter(Op::listenEventAccess) && granted(Permission::listenEvents);
}

bool MemoryDesktop::supportsCapture(platform::CaptureKind kind) {
  threads::Lock guard(mutex_);
  if (enter(Op::supportsCapture)) return false;
  return kind == platform::CaptureKind::display ? displayCaptureSupported_
                                                : windowCaptureSupported_;
}

bool MemoryDesktop::supportsControl() {
  threads::Lock guard(mutex_);
  return !enter(Op::supportsControl) && controlSupported_;
}

std::vector<std::string> MemoryDesktop::protectedBundleNames() {
  threads::Lock guard(mutex_);
  return protectedNames_;
}

std::string MemoryDesktop::backendName() { return "memory"; }

std::vector<std::string> MemoryDesktop::limitations() {
  return {"first limitation", "second limitation", "third limitation"};
}

std::optional<std::vector<DisplayInfo>> MemoryDesktop::activeDisplays() {
  threads::Lock guard(mutex_);
  if (enter(Op::activeDisplays)) return std::nullopt;
  return displays_;
}

std::optional<DisplayInfo> MemoryDesktop::activeDisplay(std::uint32_t id) {
  threads::Lock guard(mutex_);
  if (enter(Op::activeDisplay)) return std::nullopt;
  if (auto* display = findDisplay(id)) return *display;
  return std::nullopt;
}

// The tap's side runs on the thread that calls run(); every other member may be called from any
// thread. All state lives in the desktop, under its mutex.
class MemoryDesktop::MemoryInputTap final : public platform::InputTap {
 public:
  explicit MemoryInputTap(MemoryDesktop& desktop) : desktop_(desktop) {}

  ~MemoryInputTap() override {
    threads::Lock guard(desktop_.mutex_);
    desktop_.tap_.exists = false;
    desktop_.tap_.listener = nullptr;
    desktop_.tapChanged_.notifyAll();
  }

  bool valid() override {
    threads::Lock guard(desktop_.mutex_);
    return desktop_.tap_.valid;
  }

  bool enabled() override {
    threads::Lock guard(desktop_.mutex_);
    return desktop_.tap_.enabled && !desktop_.tap_.stopped;
  }

  void stop() override {
    threads::Lock guard(desktop_.mutex_);
    desktop_.tap_.stopped = true;
    desktop_.tapChanged_.notifyAll();
  }

  void run() override {
    threads::Lock lock(desktop_.mutex_);
    TapState& tap = desktop_.tap_;
    tap.running = true;
    for (;;) {
      desktop_.tapChanged_.wait(desktop_.mutex_, [&]() REQUIRES(desktop_.mutex_) {
        return tap.stopped || tap.disabledBySystem || !tap.queue.empty();
      });
      if (tap.stopped) break;
      if (!tap.queue.empty()) {
        const platform::ObservedInput input = tap.queue.front();
        tap.queue.pop_front();
        platform::InputTapListener* listener = tap.listener;
        lock.unlock();
        listener->inputObserved(input);
        lock.lock();
        ++tap.delivered;
        desktop_.tapChanged_.notifyAll();
        continue;
      }
      tap.enabled = false;
      platform::InputTapListener* listener = tap.listener;
      lock.unlock();
      listener->tapDisabled();
      lock.lock();
      tap.disableHeard = true;
      break;
    }
    tap.running = false;
    tap.queue.clear();
    tap.delivered = tap.queued;
    desktop_.tapChanged_.notifyAll();
  }

 private:
  MemoryDesktop& desktop_;
};

void MemoryDesktop::post(const Event& event) {
  using platform::EventNotPosted;
  std::function<void(const Event&)> hook;
  bool brokeOnTheWay = false;
  {
    threads::Lock guard(mutex_);
    const bool failing = enter(Op::post);
    if (failing && postFailure_ == PostFailure::refused) {
      throw EventNotPosted(EventNotPosted::Reason::unrepresentable, "refused by the test");
    }
    if (failing && postFailure_ == PostFailure::undelivered) {
      throw EventNotPosted(EventNotPosted::Reason::undelivered, "undelivered by the test");
    }
    if (std::abs(std::int64_t{event.scrollVertical}) > maxScrollLines_ ||
        std::abs(std::int64_t{event.scrollHorizontal}) > maxScrollLines_) {
      throw EventNotPosted(EventNotPosted::Reason::unrepresentable, "too many lines of scroll");
    }
    brokeOnTheWay = failing;
    posted_.push_back(event);
    trackHeld(event);
    if (event.isKey() && !event.text.empty()) {
      typingChangesInPlace_ = event.type == platform::EventType::keyDown;
    }
    hook = postHook_;
    if (tapAccepts()) {
      tap_.queue.push_back({event.type, kOwnProcessId});
      ++tap_.queued;
      tapChanged_.notifyAll();
    }
  }
  if (hook) hook(event);
  if (brokeOnTheWay) throw platform::PlatformError("the connection broke on the way");
}

std::int32_t MemoryDesktop::maxScrollLines() {
  threads::Lock guard(mutex_);
  return maxScrollLines_;
}

void MemoryDesktop::setPostFailure(PostFailure failure) {
  threads::Lock guard(mutex_);
  postFailure_ = failure;
}

void MemoryDesktop::setMaxScrollLines(std::int32_t lines) {
  threads::Lock guard(mutex_);
  maxScrollLines_ = lines;
}

void MemoryDesktop::undoAbandonedTyping() {
  threads::Lock guard(mutex_);
  typingChangesInPlace_ = false;
  typingUndone_.push_back(posted_.size());
}

bool MemoryDesktop::typingChangesInPlace() {
  threads::Lock guard(mutex_);
  return typingChangesInPlace_;
}

std::vector<std::size_t> MemoryDesktop::typingUndone() {
  threads::Lock guard(mutex_);
  return typingUndone_;
}

void MemoryDesktop::setPostHook(std::function<void(const Event&)> hook) {
  threads::Lock guard(mutex_);
  postHook_ = std::move(hook);
}

void MemoryDesktop::setLiveWindowDelay(platform::Duration delay) {
  threads::Lock guard(mutex_);
  liveWindowDelay_ = delay;
}

void MemoryDesktop::trackHeld(const Event& event) {
  switch (event.type) {
    case platform::EventType::keyDown:
      heldKeys_.insert(event.keyCode);
      break;
    case platform::EventType::keyUp:
      heldKeys_.erase(event.keyCode);
      break;
    case platform::EventType::leftMouseDown:
    case platform::EventType::rightMouseDown:
    case platform::EventType::otherMouseDown:
      heldButtons_.insert(event.type);
      break;
    case platform::EventType::leftMouseUp:
      heldButtons_.erase(platform::EventType::leftMouseDown);
      break;
    case platform::EventType::rightMouseUp:
      heldButtons_.erase(platform::EventType::rightMouseDown);
      break;
    case platform::EventType::otherMouseUp:
      heldButtons_.erase(platform::EventType::otherMouseDown);
      break;
    default:
      break;
  }
}

bool MemoryDesktop::tapAccepts() const {
  return tap_.exists && !tap_.stopped && !tap_.disabledBySystem && tap_.valid;
}

std::unique_ptr<platform::InputTap> MemoryDesktop::createInputTap(
    platform::InputTapListener& listener) {
  threads::Lock lock(mutex_);
  ++tapStarts_;
  tapChanged_.wait(mutex_, [this]() REQUIRES(mutex_) { return !tapStartBlocked_; });
  if (enter(Op::createInputTap)) return nullptr;
  tap_ = TapState{};
  tap_.exists = true;
  tap_.listener = &listener;
  return std::make_unique<MemoryInputTap>(*this);
}

bool MemoryDesktop::feedInput(platform::EventType type, std::int32_t sourceProcessId) {
  threads::Lock lock(mutex_);
  if (!tapAccepts()) return false;
  tap_.queue.push_back({type, sourceProcessId});
  const std::uint64_t ticket = ++tap_.queued;
  tapChanged_.notifyAll();
  tapChanged_.wait(mutex_,
                   [&]() REQUIRES(mutex_) { return tap_.delivered >= ticket || !tap_.exists; });
  return true;
}

void MemoryDesktop::disableTap() {
  threads::Lock lock(mutex_);
  if (!tap_.exists) return;
  tap_.disabledBySystem = true;
  tapChanged_.notifyAll();
  tapChanged_.wait(mutex_, [this]() REQUIRES(mutex_) {
    return tap_.disableHeard || tap_.stopped || !tap_.exists;
  });
}

void MemoryDesktop::invalidateTap() {
  threads::Lock guard(mutex_);
  tap_.valid = false;
}

void MemoryDesktop::blockTapStart(bool blocked) {
  threads::Lock guard(mutex_);
  tapStartBlocked_ = blocked;
  tapChanged_.notifyAll();
}

void MemoryDesktop::waitUntilTapIdle() {
  threads::Lock lock(mutex_);
  tapChanged_.wait(mutex_, [this]() REQUIRES(mutex_) {
    return tap_.delivered >= tap_.queued || !tap_.exists || !tap_.running;
  });
}

int MemoryDesktop::tapStarts() {
  threads::Lock guard(mutex_);
  return tapStarts_;
}

bool MemoryDesktop::tapRunning() {
  threads::Lock guard(mutex_);
  return tap_.running;
}

std::set<std::uint16_t> MemoryDesktop::heldKeys() {
  threads::Lock guard(mutex_);
  return heldKeys_;
}

std::set<platform::EventType> MemoryDesktop::heldButtons() {
  threads::Lock guard(mutex_);
  return heldButtons_;
}

void MemoryDesktop::addProcess(std::int32_t pid, std::optional<std::string> bundleIdentifier) {
  threads::Lock guard(mutex_);
  const auto since = now_.time_since_epoch();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(since - seconds);
  processes_[pid] = MemoryProcess{{uid_, static_cast<std::uint64_t>(seconds.count()),
                                   static_cast<std::uint32_t>(micros.count())},
                                  std::move(bundleIdentifier)};
}

void MemoryDesktop::relaunchProcess(std::int32_t pid) {
  threads::Lock guard(mutex_);
  auto& record = processes_.at(pid).record;
  record.startMicroseconds = (record.startMicroseconds + 1) % 1'000'000;
  if (record.startMicroseconds == 0) ++record.startSeconds;
}

void MemoryDesktop::setProcessUser(std::int32_t pid, std::uint32_t uid) {
  threads::Lock guard(mutex_);
  processes_.at(pid).record.userId = uid;
}

std::uint32_t MemoryDesktop::addWindow(std::int32_t pid, platform::Rect frame,
                                       std::optional<std::string> title, std::string application) {
  threads::Lock guard(mutex_);
  MemoryWindow window;
  window.info.windowId = nextWindowId_++;
  window.info.frame = frame;
  window.info.title = std::move(title);
  auto process = processes_.find(pid);
  window.info.owner = platform::RunningApplication{
      pid, process == processes_.end() ? std::nullopt : process->second.bundleIdentifier,
      std::move(application)};
  windows_.push_back(window);
  return window.info.windowId;
}

MemoryWindow* MemoryDesktop::findWindow(std::uint32_t windowId) {
  auto found = std::find_if(windows_.begin(), windows_.end(), [windowId](const MemoryWindow& w) {
    return w.info.windowId == windowId;
  });
  return found == windows_.end() ? nullptr : &*found;
}

MemoryWindow& MemoryDesktop::window(std::uint32_t windowId) {
  threads::Lock guard(mutex_);
  return *findWindow(windowId);
}

void MemoryDesktop::removeWindow(std::uint32_t windowId) {
  threads::Lock guard(mutex_);
  std::erase_if(windows_,
                [windowId](const MemoryWindow& w) { return w.info.windowId == windowId; });
}

void MemoryDesktop::raiseWindow(std::uint32_t windowId) {
  threads::Lock guard(mutex_);
  auto found = std::find_if(windows_.begin(), windows_.end(), [windowId](const MemoryWindow& w) {
    return w.info.windowId == windowId;
  });
  if (found != windows_.end()) std::rotate(windows_.begin(), found, std::next(found));
}

void MemoryDesktop::setPointPixelScale(double scale) {
  threads::Lock guard(mutex_);
  pointPixelScale_ = scale;
}

void MemoryDesktop::setDisplayPicture(Picture picture) {
  threads::Lock guard(mutex_);
  displayPicture_ = picture;
}

platform::ShareableContent MemoryDesktop::shareableContent() {
  threads::Lock guard(mutex_);
  if (enter(Op::shareableContent)) throw platform::PlatformError("content query failed");
  platform::ShareableContent content;
  for (const auto& display : displays_) content.displays.push_back({display.id, display.bounds});
  for (const auto& window : windows_) {
    if (window.onScreen) content.windows.push_back(window.info);
  }
  return content;
}

std::optional<std::vector<platform::LiveWindow>> MemoryDesktop::liveWindow(std::uint32_t windowId) {
  threads::Lock guard(mutex_);
  if (enter(Op::liveWindow)) return std::nullopt;
  now_ += liveWindowDelay_;
  std::vector<platform::LiveWindow> records;
  if (auto* window = findWindow(windowId)) {
    records.push_back({windowId, window->info.owner->processId, window->onScreen,
                       window->info.frame, window->info.title});
  }
  return records;
}

std::optional<std::string> MemoryDesktop::bundleIdentifierOf(std::int32_t pid) {
  threads::Lock guard(mutex_);
  auto process = processes_.find(pid);
  if (process == processes_.end()) return std::nullopt;
  return process->second.bundleIdentifier;
}

std::optional<std::int32_t> MemoryDesktop::frontmostProcessId() {
  threads::Lock guard(mutex_);
  if (enter(Op::frontmostProcessId)) return std::nullopt;
  return frontmost_;
}

bool MemoryDesktop::activateApplication(std::int32_t pid) {
  threads::Lock guard(mutex_);
  if (enter(Op::activateApplication)) return false;
  if (processes_.count(pid) == 0) return false;
  frontmost_ = pid;
  return true;
}

std::optional<platform::ProcessRecord> MemoryDesktop::processRecord(std::int32_t pid) {
  threads::Lock guard(mutex_);
  if (enter(Op::processRecord)) return std::nullopt;
  auto process = processes_.find(pid);
  if (process == processes_.end()) return std::nullopt;
  return process->second.record;
}

std::int32_t MemoryDesktop::ownProcessId() { return kOwnProcessId; }

std::int32_t MemoryDesktop::parentProcessId() { return 4241; }

double MemoryDesktop::pointPixelScale(const platform::WindowInfo&) {
  threads::Lock guard(mutex_);
  return pointPixelScale_;
}

namespace {

platform::Image solidImage(std::int64_t width, std::int64_t height, const std::uint8_t color[3]) {
  platform::Image image;
  image.width = width;
  image.height = height;
  image.rgb.resize(static_cast<std::size_t>(width * height * 3));
  for (std::size_t i = 0; i < image.rgb.size(); i += 3) {
    image.rgb[i] = color[0];
    image.rgb[i + 1] = color[1];
    image.rgb[i + 2] = color[2];
  }
  return image;
}

void addNoise(platform::Image& image) {
  std::mt19937 random(7);
  for (auto& component : image.rgb) component = static_cast<std::uint8_t>(random());
}

void decorate(platform::Image& image, const platform::Rect& painted) {
  for (std::int64_t y = 0; y < image.height; ++y) {
    for (std::int64_t x = 0; x < image.width; ++x) {
      if (painted.contains({static_cast<double>(x), static_cast<double>(y)})) continue;
      auto* pixel = &image.rgb[static_cast<std::size_t>((y * image.width + x) * 3)];
      std::fill(pixel, pixel + 3, 220);
    }
  }
  image.content = painted;
}

}  // namespace

platform::Image MemoryDesktop::captureDisplay(const platform::DisplayContent&, std::int64_t width,
                                              std::int64_t height, platform::CursorMode) {
  threads::Lock guard(mutex_);
  if (enter(Op::captureDisplay)) throw platform::PlatformError("display screenshot failed");
  const std::uint8_t gray[3] = {90, 90, 90};
  auto image = solidImage(width, height, gray);
  if (displayPicture_ == Picture::noise) addNoise(image);
  return image;
}

platform::Image MemoryDesktop::captureWindow(const platform::WindowInfo& info, std::int64_t width,
                                             std::int64_t height) {
  threads::Lock guard(mutex_);
  if (enter(Op::captureWindow)) throw platform::PlatformError("window screenshot failed");
  auto* window = findWindow(info.windowId);
  if (window == nullptr) throw platform::PlatformError("window is gone");
  if (window->unpainted) {
    platform::Image withheld;
    withheld.width = width;
    withheld.height = height;
    withheld.withheld = true;
    return withheld;
  }
  auto image = solidImage(width, height, window->color);
  if (window->painted) decorate(image, *window->painted);
  if (!window->spot) return image;
  const auto& spot = *window->spot;
  for (auto y = static_cast<std::int64_t>(spot.y); y < spot.y + spot.height && y < height; ++y) {
    for (auto x = static_cast<std::int64_t>(spot.x); x < spot.x + spot.width && x < width; ++x) {
      auto* pixel = &image.rgb[static_cast<std::size_t>((y * width + x) * 3)];
      std::copy(window->spotColor, window->spotColor + 3, pixel);
    }
  }
  return image;
}

namespace {

// Application elements are numbered below zero by process id, the system-wide element is the
// lowest number of all; ordinary elements are positive.
constexpr int kSystemWide = std::numeric_limits<int>::min();

class MemoryElementRef final : public platform::ElementRef {
 public:
  explicit MemoryElementRef(int id) : id(id) {}
  bool sameElement(const platform::ElementRef& other) const override {
    const auto* memory = dynamic_cast<const MemoryElementRef*>(&other);
    return memory != nullptr && memory->id == id;
  }
  const int id;
};

int applicationNumber(std::int32_t pid) { return -pid - 1; }

}  // namespace

platform::Element MemoryDesktop::handle(int id) const {
  return platform::Element(std::make_shared<MemoryElementRef>(id));
}

int MemoryDesktop::numberOf(const platform::Element& element) {
  return dynamic_cast<const MemoryElementRef&>(element.ref()).id;
}

int MemoryDesktop::addElement(std::int32_t pid, std::optional<int> parent, const std::string& role,
                              const std::string& title) {
  threads::Lock guard(mutex_);
  MemoryElement element;
  element.id = nextElement_++;
  element.pid = pid;
  element.parent = parent;
  element.attributes[std::string(platform::attributes::role)] = role;
  element.attributes[std::string(platform::attributes::title)] = title;
  element.attributes[std::string(platform::attributes::enabled)] = true;
  if (parent) {
    elements_.at(*parent).children.push_back(element.id);
  } else {
    applicationWindows_[pid].push_back(element.id);
  }
  elements_.emplace(element.id, element);
  return element.id;
}

int MemoryDesktop::addAccessibleWindow(std::uint32_t windowId) {
  platform::WindowInfo info;
  {
    threads::Lock guard(mutex_);
    info = findWindow(windowId)->info;
  }
  const int id = addElement(info.owner->processId, std::nullopt, "frame", info.title.value_or(""));
  auto& attributes = element(id).attributes;
  attributes[std::string(platform::attributes::position)] =
      platform::Point{info.frame.x, info.frame.y};
  attributes[std::string(platform::attributes::size)] =
      platform::Size{info.frame.width, info.frame.height};
  return id;
}

MemoryElement& MemoryDesktop::element(int id) {
  threads::Lock guard(mutex_);
  return elements_.at(id);
}

std::optional<double> MemoryDesktop::messagingTimeout(std::int32_t pid) {
  threads::Lock guard(mutex_);
  auto found = messagingTimeouts_.find(pid);
  if (found == messagingTimeouts_.end()) return std::nullopt;
  return found->second;
}

void MemoryDesktop::beginRequest() {
  threads::Lock guard(mutex_);
  (void)enter(Op::beginAccessibilityRequest);
}

platform::Element MemoryDesktop::applicationElement(std::int32_t pid) {
  return handle(applicationNumber(pid));
}

platform::Element MemoryDesktop::systemWideElement() { return handle(kSystemWide); }

void MemoryDesktop::setMessagingTimeout(const platform::Element& element, double seconds) {
  threads::Lock guard(mutex_);
  const int id = numberOf(element);
  if (id < 0 && id != kSystemWide) messagingTimeouts_[-id - 1] = seconds;
}

std::optional<platform::AttributeValue> MemoryDesktop::copyAttribute(
    const platform::Element& handleValue, std::string_view name) {
  threads::Lock guard(mutex_);
  if (enter(Op::copyAttribute)) return std::nullopt;
  const int id = numberOf(handleValue);
  auto handles = [this](const std::vector<int>& ids) {
    std::vector<platform::Element> list;
    for (int each : ids) list.push_back(handle(each));
    return list;
  };
  if (id < 0) {
    if (id == kSystemWide) return std::nullopt;
    const std::int32_t pid = -id - 1;
    if (name == platform::attributes::windows) return handles(applicationWindows_[pid]);
    const std::map<std::int32_t, int>* focus = nullptr;
    if (name == platform::attributes::focusedWindow) focus = &focusedWindows_;
    if (name == platform::attributes::focusedElement) focus = &focusedElements_;
    if (focus == nullptr) return std::nullopt;
    auto focused = focus->find(pid);
    if (focused == focus->end() || elements_.count(focused->second) == 0) return std::nullopt;
    return handle(focused->second);
  }
  auto found = elements_.find(id);
  if (found == elements_.end()) return std::nullopt;
  const auto& element = found->second;
  if (element.unreadable.count(name) != 0) return std::nullopt;
  if (name == platform::attributes::children) {
    if (!element.childrenReadable) return std::nullopt;
    return handles(element.children);
  }
  if (name == platform::attributes::parent) {
    if (!element.parent) return handle(applicationNumber(element.pid));
    return handle(*element.parent);
  }
  auto attribute = element.attributes.find(name);
  if (attribute == element.attributes.end()) return std::nullopt;
  return attribute->second;
}

void MemoryDesktop::setFrontmost(std::optional<std::int32_t> pid) {
  threads::Lock guard(mutex_);
  frontmost_ = pid;
}

void MemoryDesktop::setFocusedWindow(std::int32_t pid, std::optional<int> element) {
  threads::Lock guard(mutex_);
  if (element) {
    focusedWindows_[pid] = *element;
  } else {
    focusedWindows_.erase(pid);
  }
}

void MemoryDesktop::setFocusedElement(std::int32_t pid, std::optional<int> element) {
  threads::Lock guard(mutex_);
  if (element) {
    focusedElements_[pid] = *element;
  } else {
    focusedElements_.erase(pid);
  }
}

void MemoryDesktop::setRaiseTakesEffect(bool effective) {
  threads::Lock guard(mutex_);
  raiseTakesEffect_ = effective;
}

void MemoryDesktop::setElementFrame(int id, platform::Rect frame) {
  threads::Lock guard(mutex_);
  auto& attributes = elements_.at(id).attributes;
  attributes[std::string(platform::attributes::position)] = platform::Point{frame.x, frame.y};
  attributes[std::string(platform::attributes::size)] = platform::Size{frame.width, frame.height};
}

std::vector<PerformedAction> MemoryDesktop::performed() {
  threads::Lock guard(mutex_);
  return performed_;
}

std::optional<std::int32_t> MemoryDesktop::frontmost() {
  threads::Lock guard(mutex_);
  return frontmost_;
}

std::optional<int> MemoryDesktop::focusedWindowOf(std::int32_t pid) {
  threads::Lock guard(mutex_);
  auto found = focusedWindows_.find(pid);
  if (found == focusedWindows_.end()) return std::nullopt;
  return found->second;
}

std::optional<int> MemoryDesktop::focusedElementOf(std::int32_t pid) {
  threads::Lock guard(mutex_);
  auto found = focusedElements_.find(pid);
  if (found == focusedElements_.end()) return std::nullopt;
  return found->second;
}

std::optional<std::int32_t> MemoryDesktop::ownerOfElement(int id) const {
  auto found = elements_.find(id);
  if (found == elements_.end()) return std::nullopt;
  return found->second.pid;
}

bool MemoryDesktop::setFocused(const platform::Element& target) {
  threads::Lock guard(mutex_);
  if (enter(Op::setFocused)) return false;
  const int id = numberOf(target);
  const auto pid = ownerOfElement(id);
  if (!pid) return false;
  performed_.push_back({id, std::string(platform::attributes::focused)});
  focusedElements_[*pid] = id;
  return true;
}

bool MemoryDesktop::performAction(const platform::Element& target, std::string_view action) {
  threads::Lock guard(mutex_);
  if (enter(Op::performAction)) return false;
  const int id = numberOf(target);
  const auto pid = ownerOfElement(id);
  if (!pid) return false;
  performed_.push_back({id, std::string(action)});
  if (action != platform::actions::raise || !raiseTakesEffect_) return true;
  focusedWindows_[*pid] = id;
  // The listed window the accessible window stands for comes to the front.
  const auto frame = frameOf(id);
  auto listed = std::find_if(windows_.begin(), windows_.end(), [&](const MemoryWindow& w) {
    return w.info.owner && w.info.owner->processId == *pid && frame && w.info.frame == *frame;
  });
  if (listed != windows_.end()) std::rotate(windows_.begin(), listed, std::next(listed));
  return true;
}

std::optional<platform::Rect> MemoryDesktop::frameOf(int id) const {
  auto found = elements_.find(id);
  if (found == elements_.end()) return std::nullopt;
  const auto& attributes = found->second.attributes;
  auto position = attributes.find(platform::attributes::position);
  auto size = attributes.find(platform::attributes::size);
  if (position == attributes.end() || size == attributes.end()) return std::nullopt;
  const auto* point = std::get_if<platform::Point>(&position->second);
  const auto* extent = std::get_if<platform::Size>(&size->second);
  if (point == nullptr || extent == nullptr) return std::nullopt;
  return platform::Rect{point->x, point->y, extent->width, extent->height};
}

std::optional<int> MemoryDesktop::deepestAt(int id, platform::Point point) const {
  const auto frame = frameOf(id);
  if (!frame || !frame->contains(point)) return std::nullopt;
  for (int child : elements_.at(id).children) {
    if (auto deeper = deepestAt(child, point)) return deeper;
  }
  return id;
}

std::optional<platform::Element> MemoryDesktop::elementAtPosition(
    const platform::Element& systemWide, float x, float y) {
  threads::Lock guard(mutex_);
  if (enter(Op::elementAtPosition)) return std::nullopt;
  if (numberOf(systemWide) != kSystemWide) return std::nullopt;
  const platform::Point point{x, y};
  auto top = std::find_if(windows_.begin(), windows_.end(), [&](const MemoryWindow& w) {
    return w.onScreen && w.info.frame.contains(point);
  });
  if (top == windows_.end() || !top->info.owner) return std::nullopt;
  const auto& candidates = applicationWindows_[top->info.owner->processId];
  auto same = std::find_if(candidates.begin(), candidates.end(), [&](int window) REQUIRES(mutex_) {
    const auto frame = frameOf(window);
    return frame == top->info.frame || (frame && frame == top->info.clientArea);
  });
  if (same == candidates.end()) return std::nullopt;
  // Outside the accessible window's own frame the point is on the decorations: the window.
  const auto hit = deepestAt(*same, point);
  return handle(hit.value_or(*same));
}

std::optional<std::int32_t> MemoryDesktop::processIdOf(const platform::Element& element) {
  threads::Lock guard(mutex_);
  if (enter(Op::processIdOf)) return std::nullopt;
  const int id = numberOf(element);
  if (id < 0) return id == kSystemWide ? std::nullopt : std::optional<std::int32_t>(-id - 1);
  return ownerOfElement(id);
}

void MemoryDesktop::forgetRemembered() {
  threads::Lock guard(mutex_);
  (void)enter(Op::forgetRemembered);
}

platform::Timestamp MemoryDesktop::now() {
  threads::Lock guard(mutex_);
  return now_;
}

void MemoryDesktop::sleep(platform::Duration duration) { advance(duration); }

}  // namespace kex::testing

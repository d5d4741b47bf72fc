#include "tests/desktop/memory_desktop.h"

#include <algorithm>

namespace kex::testing {

using platform::DisplayInfo;
using platform::Event;

MemoryDesktop::MemoryDesktop()
    : now_(platform::Timestamp(std::chrono::seconds(1'800'000'000))) {
  setSession(platform::SessionDescription{
      {platform::kSessionUserIdKey, std::int64_t{501}},
      {platform::kSessionOnConsoleKey, true},
  });
  displays_.push_back(DisplayInfo{1, {0, 0, 1920, 1080}, 1920, 1080, 0});
}

void MemoryDesktop::setUserId(std::uint32_t uid) {
  std::lock_guard guard(mutex_);
  uid_ = uid;
}

void MemoryDesktop::setSession(std::optional<platform::SessionDescription> description) {
  std::lock_guard guard(mutex_);
  session_ = std::move(description);
}

void MemoryDesktop::setSessionValue(const std::string& key, platform::SessionValue value) {
  std::lock_guard guard(mutex_);
  if (!session_) session_.emplace();
  (*session_)[key] = std::move(value);
}

void MemoryDesktop::lockScreen(bool locked) {
  setSessionValue(platform::kSessionScreenIsLockedKey, locked);
}

void MemoryDesktop::setPermissions(bool capture, bool accessibility, bool post, bool listen) {
  std::lock_guard guard(mutex_);
  capture_ = capture;
  accessibility_ = accessibility;
  postAccess_ = post;
  listenAccess_ = listen;
}

void MemoryDesktop::setSupportsCaptureAndControl(bool supported) {
  std::lock_guard guard(mutex_);
  supported_ = supported;
}

void MemoryDesktop::addDisplay(const DisplayInfo& display) {
  std::lock_guard guard(mutex_);
  displays_.push_back(display);
}

void MemoryDesktop::removeDisplay(std::uint32_t id) {
  std::lock_guard guard(mutex_);
  std::erase_if(displays_, [id](const DisplayInfo& d) { return d.id == id; });
}

DisplayInfo* MemoryDesktop::findDisplay(std::uint32_t id) {
  auto found = std::find_if(displays_.begin(), displays_.end(),
                            [id](const DisplayInfo& d) { return d.id == id; });
  return found == displays_.end() ? nullptr : &*found;
}

void MemoryDesktop::moveDisplay(std::uint32_t id, double x, double y) {
  std::lock_guard guard(mutex_);
  if (auto* display = findDisplay(id)) {
    display->bounds.x = x;
    display->bounds.y = y;
  }
}

void MemoryDesktop::resizeDisplay(std::uint32_t id, double width, double height,
                                  std::int64_t pixelWidth, std::int64_t pixelHeight) {
  std::lock_guard guard(mutex_);
  if (auto* display = findDisplay(id)) {
    display->bounds.width = width;
    display->bounds.height = height;
    display->pixelWidth = pixelWidth;
    display->pixelHeight = pixelHeight;
  }
}

void MemoryDesktop::rotateDisplay(std::uint32_t id, double degrees) {
  std::lock_guard guard(mutex_);
  if (auto* display = findDisplay(id)) display->rotation = degrees;
}

void MemoryDesktop::clearDisplays() {
  std::lock_guard guard(mutex_);
  displays_.clear();
}

void MemoryDesktop::setFailing(Op op, bool failing) {
  std::lock_guard guard(mutex_);
  if (failing) {
    failing_.insert(op);
  } else {
    failing_.erase(op);
  }
}

void MemoryDesktop::advance(platform::Duration by) {
  std::lock_guard guard(mutex_);
  now_ += by;
}

void MemoryDesktop::setNow(platform::Timestamp now) {
  std::lock_guard guard(mutex_);
  now_ = now;
}

std::vector<Event> MemoryDesktop::posted() {
  std::lock_guard guard(mutex_);
  return posted_;
}

std::vector<Op> MemoryDesktop::calls() {
  std::lock_guard guard(mutex_);
  return calls_;
}

void MemoryDesktop::clearCalls() {
  std::lock_guard guard(mutex_);
  calls_.clear();
}

bool MemoryDesktop::enter(Op op) {
  calls_.push_back(op);
  return failing_.count(op) != 0;
}

std::optional<platform::SessionDescription> MemoryDesktop::currentSession() {
  std::lock_guard guard(mutex_);
  if (enter(Op::currentSession)) return std::nullopt;
  return session_;
}

std::uint32_t MemoryDesktop::realUserId() {
  std::lock_guard guard(mutex_);
  return uid_;
}

bool MemoryDesktop::screenCaptureAccess() {
  std::lock_guard guard(mutex_);
  return !enter(Op::screenCaptureAccess) && capture_;
}

bool MemoryDesktop::accessibilityTrusted() {
  std::lock_guard guard(mutex_);
  return !enter(Op::accessibilityTrusted) && accessibility_;
}

bool MemoryDesktop::postEventAccess() {
  std::lock_guard guard(mutex_);
  return !enter(Op::postEventAccess) && postAccess_;
}

bool MemoryDesktop::listenEventAccess() {
  std::lock_guard guard(mutex_);
  return !enter(Op::listenEventAccess) && listenAccess_;
}

bool MemoryDesktop::supportsCaptureAndControl() {
  std::lock_guard guard(mutex_);
  return !enter(Op::supportsCaptureAndControl) && supported_;
}

std::string MemoryDesktop::backendName() { return "memory"; }

std::vector<std::string> MemoryDesktop::limitations() {
  return {"first limitation", "second limitation", "third limitation"};
}

std::optional<std::vector<DisplayInfo>> MemoryDesktop::activeDisplays() {
  std::lock_guard guard(mutex_);
  if (enter(Op::activeDisplays)) return std::nullopt;
  return displays_;
}

std::optional<DisplayInfo> MemoryDesktop::activeDisplay(std::uint32_t id) {
  std::lock_guard guard(mutex_);
  if (enter(Op::activeDisplay)) return std::nullopt;
  if (auto* display = findDisplay(id)) return *display;
  return std::nullopt;
}

void MemoryDesktop::post(const Event& event) {
  std::lock_guard guard(mutex_);
  if (enter(Op::post)) return;
  posted_.push_back(event);
}

std::unique_ptr<platform::InputTap> MemoryDesktop::createInputTap(platform::InputTapListener&) {
  return nullptr;
}

platform::Timestamp MemoryDesktop::now() {
  std::lock_guard guard(mutex_);
  return now_;
}

void MemoryDesktop::sleep(platform::Duration duration) { advance(duration); }

}  // namespace kex::testing

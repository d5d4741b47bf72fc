// A complete in-memory desktop that tests script and read back.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/desktop.h"

namespace kex::testing {

// Every boundary operation, so that a test can make any of them fail.
enum class Op {
  currentSession,
  screenCaptureAccess,
  accessibilityTrusted,
  postEventAccess,
  listenEventAccess,
  supportsCaptureAndControl,
  activeDisplays,
  activeDisplay,
  post,
};

// Any thread: every member takes mutex_. The desktop is its own set of services.
class MemoryDesktop final : public platform::Desktop,
                            private platform::SessionServices,
                            private platform::SystemServices,
                            private platform::DisplayServices,
                            private platform::EventServices,
                            private platform::Clock {
 public:
  // Starts as an active session of user 501 with every permission, one 1920 by 1080 display
  // with identifier 1, and the clock at a fixed moment.
  MemoryDesktop();

  platform::SessionServices& session() override { return *this; }
  platform::SystemServices& system() override { return *this; }
  platform::DisplayServices& displays() override { return *this; }
  platform::EventServices& events() override { return *this; }
  platform::Clock& clock() override { return *this; }

  // Scripting: session.
  void setUserId(std::uint32_t uid);
  void setSession(std::optional<platform::SessionDescription> description);
  void setSessionValue(const std::string& key, platform::SessionValue value);
  void lockScreen(bool locked);

  // Scripting: permissions and system facts.
  void setPermissions(bool capture, bool accessibility, bool post, bool listen);
  void setSupportsCaptureAndControl(bool supported);

  // Scripting: displays.
  void addDisplay(const platform::DisplayInfo& display);
  void removeDisplay(std::uint32_t id);
  void moveDisplay(std::uint32_t id, double x, double y);
  void resizeDisplay(std::uint32_t id, double width, double height, std::int64_t pixelWidth,
                     std::int64_t pixelHeight);
  void rotateDisplay(std::uint32_t id, double degrees);
  void clearDisplays();

  // Scripting: failures and time.
  void setFailing(Op op, bool failing = true);
  void advance(platform::Duration by);
  void setNow(platform::Timestamp now);

  // Reading back.
  [[nodiscard]] std::vector<platform::Event> posted();
  [[nodiscard]] std::vector<Op> calls();
  void clearCalls();

 private:
  std::optional<platform::SessionDescription> currentSession() override;
  std::uint32_t realUserId() override;
  bool screenCaptureAccess() override;
  bool accessibilityTrusted() override;
  bool postEventAccess() override;
  bool listenEventAccess() override;
  bool supportsCaptureAndControl() override;
  std::string backendName() override;
  std::vector<std::string> limitations() override;
  std::optional<std::vector<platform::DisplayInfo>> activeDisplays() override;
  std::optional<platform::DisplayInfo> activeDisplay(std::uint32_t id) override;
  void post(const platform::Event& event) override;
  std::unique_ptr<platform::InputTap> createInputTap(platform::InputTapListener& listener) override;
  platform::Timestamp now() override;
  void sleep(platform::Duration duration) override;

  // Records the call; true when the test made the operation fail. Caller holds mutex_.
  bool enter(Op op);
  platform::DisplayInfo* findDisplay(std::uint32_t id);

  std::mutex mutex_;
  // Everything below is guarded by mutex_.
  std::uint32_t uid_ = 501;
  std::optional<platform::SessionDescription> session_;
  bool capture_ = true;
  bool accessibility_ = true;
  bool postAccess_ = true;
  bool listenAccess_ = true;
  bool supported_ = true;
  std::vector<platform::DisplayInfo> displays_;
  std::set<Op> failing_;
  std::vector<Op> calls_;
  std::vector<platform::Event> posted_;
  platform::Timestamp now_;
};

}  // namespace kex::testing

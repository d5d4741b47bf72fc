// kex_test_watchdog: the release-watchdog mode over a poster that appends every event it posts to
// the file named by KEX_TEST_WATCHDOG_LOG, one line each, so that unit tests can run a real
// watchdog child without a display. With KEX_TEST_WATCHDOG_SILENT set it takes the lock and then
// never answers, as a watchdog that hangs.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "main/safety/control_lock.h"
#include "main/safety/release_watchdog.h"
#include "tests/safety/event_log.h"

namespace {

// Any thread; appends whole lines with one write each.
class LoggingPoster final : public kex::platform::EventServices {
 public:
  explicit LoggingPoster(const char* path)
      : fd_(::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600)) {}
  ~LoggingPoster() override {
    if (fd_ >= 0) ::close(fd_);
  }

  void post(const kex::platform::Event& event) override {
    const std::string line = kex::testing::eventLine(event) + "\n";
    (void)::write(fd_, line.data(), line.size());
  }
  std::int32_t maxScrollLines() override { return 1000; }
  // Typing never reaches this poster, so nothing of it can be left behind.
  void undoAbandonedTyping() override {}
  std::unique_ptr<kex::platform::InputTap> createInputTap(
      kex::platform::InputTapListener&) override {
    return nullptr;
  }

 private:
  int fd_;
};

}  // namespace

int main() {
  const char* log = std::getenv("KEX_TEST_WATCHDOG_LOG");
  const std::string lockPath = kex::controlLockPath(std::getenv("XDG_RUNTIME_DIR"), ::getuid());
  if (std::getenv("KEX_TEST_WATCHDOG_SILENT") != nullptr) {
    const auto lock = kex::ControlLock::acquire(lockPath, ::getuid());
    for (;;) ::pause();
  }
  kex::releaseWatchdog(
      [log]() -> std::unique_ptr<kex::platform::EventServices> {
        if (log == nullptr) return nullptr;
        return std::make_unique<LoggingPoster>(log);
      },
      lockPath, STDIN_FILENO, STDOUT_FILENO);
  return 0;
}

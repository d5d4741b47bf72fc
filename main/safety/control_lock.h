// The per-user control lock: held by the release watchdog for as long as it runs, so that only
// one controller of a user can arm control at a time.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace kex {

// The lock file's path: "kex-computer-control-<uid>.lock" in the runtime directory when one is
// given (the value of XDG_RUNTIME_DIR) as an absolute path to a directory owned by the user with
// mode 0700, else in /tmp. Any thread.
[[nodiscard]] std::string controlLockPath(const char* runtimeDirectory, uid_t uid);

// An exclusive advisory lock on the lock file, held until the object goes. One thread.
class ControlLock {
 public:
  // Opens the file (creating it with mode 0600, never through a symbolic link) and locks it
  // without waiting. Nothing when it cannot be opened, is not a regular file owned by the user
  // with mode 0600 and one link, or another process holds the lock.
  [[nodiscard]] static std::optional<ControlLock> acquire(const std::string& path, uid_t uid);

  ControlLock(ControlLock&& other) noexcept;
  ControlLock& operator=(ControlLock&& other) noexcept;
  ControlLock(const ControlLock&) = delete;
  ControlLock& operator=(const ControlLock&) = delete;
  ~ControlLock();

 private:
  explicit ControlLock(int fd) : fd_(fd) {}

  int fd_ = -1;
};

}  // namespace kex

#include "main/safety/control_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace kex {
namespace {

constexpr mode_t kPermissionBits = 07777;

// A runtime directory that anyone but the user could write to would let them swap the lock file
// for one of their own.
bool isPrivateDirectory(const char* path, uid_t uid) {
  if (path == nullptr || path[0] != '/') return false;
  struct stat status {};
  if (::stat(path, &status) != 0) return false;
  return S_ISDIR(status.st_mode) && status.st_uid == uid &&
         (status.st_mode & kPermissionBits) == 0700;
}

// Creating the file ourselves, its mode is set explicitly: a restrictive umask would otherwise
// leave a file that every later check refuses, and the file is never removed.
int openLockFile(const std::string& path) {
  constexpr int kFlags = O_RDWR | O_NOFOLLOW | O_CLOEXEC;
  const int created = ::open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0600);
  if (created >= 0) {
    if (::fchmod(created, 0600) == 0) return created;
    ::close(created);
    return -1;
  }
  if (errno != EEXIST) return -1;
  return ::open(path.c_str(), kFlags);
}

bool isSoundLockFile(int fd, uid_t uid) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) return false;
  if (status.st_uid != uid) return false;
  if ((status.st_mode & kPermissionBits) != 0600) return false;
  if (status.st_nlink != 1) return false;
  return S_ISREG(status.st_mode);
}

}  // namespace

std::string controlLockPath(const char* runtimeDirectory, uid_t uid) {
  std::string directory = isPrivateDirectory(runtimeDirectory, uid) ? runtimeDirectory : "/tmp";
  while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
  if (directory.back() != '/') directory.push_back('/');
  return directory + "kex-computer-control-" + std::to_string(uid) + ".lock";
}

std::optional<ControlLock> ControlLock::acquire(const std::string& path, uid_t uid) {
  const int fd = openLockFile(path);
  if (fd < 0) return std::nullopt;
  ControlLock lock(fd);  // closes the descriptor on every refusal below
  if (!isSoundLockFile(fd, uid)) return std::nullopt;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return std::nullopt;
  return lock;
}

ControlLock::ControlLock(ControlLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

ControlLock& ControlLock::operator=(ControlLock&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

ControlLock::~ControlLock() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace kex

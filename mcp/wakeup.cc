#include "mcp/wakeup.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

namespace kex::mcp {

Wakeup::Wakeup() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (fd_ < 0) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
}

Wakeup::~Wakeup() { ::close(fd_); }

void Wakeup::signal() {
  const std::uint64_t one = 1;
  // A full counter means a wake-up is pending already, which is all this is for.
  (void)!::write(fd_, &one, sizeof one);
}

void Wakeup::clear() {
  std::uint64_t count = 0;
  (void)!::read(fd_, &count, sizeof count);
}

}  // namespace kex::mcp

#include "mcp/stdout_channel.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string_view>

namespace kex::mcp {

StdoutChannel::StdoutChannel() {
  fd_ = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (fd_ < 0) throw std::runtime_error(std::string("cannot keep stdout: ") + std::strerror(errno));
  if (::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
    throw std::runtime_error(std::string("cannot point stdout at stderr: ") + std::strerror(errno));
  }
}

StdoutChannel::~StdoutChannel() {
  if (fd_ >= 0) ::close(fd_);
}

void StdoutChannel::send(std::string message) {
  message.push_back('\n');
  threads::Lock lock(mutex_);
  std::string_view rest(message);
  while (!broken_ && !rest.empty()) {
    const ssize_t written = ::write(fd_, rest.data(), rest.size());
    if (written < 0 && errno == EINTR) continue;
    // A client that closed our output cannot be told anything more; its closing our input ends
    // the process.
    if (written <= 0) {
      broken_ = true;
      break;
    }
    rest.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace kex::mcp

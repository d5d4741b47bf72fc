#include "mcp/line_reader.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace kex::mcp {

bool LineReader::fill() {
  pollfd entries[2] = {{inputFd_, POLLIN, 0}, {signalFd_, POLLIN, 0}};
  for (;;) {
    const int ready = ::poll(entries, signalFd_ >= 0 ? 2 : 1, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || (signalFd_ >= 0 && (entries[1].revents & POLLIN))) return false;
    break;
  }
  constexpr std::size_t kChunk = 1 << 16;
  const std::size_t before = buffer_.size();
  buffer_.resize(before + kChunk);
  ssize_t got;
  do {
    got = ::read(inputFd_, buffer_.data() + before, kChunk);
  } while (got < 0 && errno == EINTR);
  buffer_.resize(before + (got > 0 ? static_cast<std::size_t>(got) : 0));
  return got > 0;
}

LineStatus LineReader::next(std::string& line) {
  for (;;) {
    const auto end = buffer_.find('\n', scanned_);
    if (end != std::string::npos) {
      const bool skipped = skipping_;
      skipping_ = false;
      if (!skipped) {
        line.assign(buffer_, 0, end);
        if (!line.empty() && line.back() == '\r') line.pop_back();
      }
      buffer_.erase(0, end + 1);
      scanned_ = 0;
      if (skipped) return LineStatus::oversized;
      return LineStatus::line;
    }
    scanned_ = buffer_.size();
    if (scanned_ > kMaxLine) {
      // The start of the line is dropped; the rest is thrown away as it comes.
      skipping_ = true;
      buffer_.clear();
      scanned_ = 0;
    }
    if (ended_ || !fill()) {
      ended_ = true;
      if (skipping_) {
        skipping_ = false;
        buffer_.clear();
        return LineStatus::oversized;
      }
      if (buffer_.empty()) return LineStatus::ended;
      line = std::move(buffer_);
      buffer_.clear();
      scanned_ = 0;
      return LineStatus::line;
    }
  }
}

}  // namespace kex::mcp

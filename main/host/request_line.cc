#include "main/host/request_line.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace kex {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

bool isContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The length of the well-formed sequence at the start of the text, or 0 when the text starts
// with an ill-formed one. `subpart` receives the length of the maximal ill-formed subpart.
std::size_t wellFormedLength(std::string_view text, std::size_t& subpart) {
  const auto lead = static_cast<unsigned char>(text[0]);
  subpart = 1;
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  for (std::size_t i = 1; i < length; ++i) {
    if (i >= text.size()) return 0;
    const auto byte = static_cast<unsigned char>(text[i]);
    const bool inRange = i == 1 ? (byte >= low && byte <= high) : isContinuation(byte);
    if (!inRange) return 0;
    subpart = i + 1;
  }
  return length;
}

}  // namespace

void awaitReadable(int fd) {
  pollfd entry{fd, POLLIN, 0};
  // Hang-up and error wake it too; the read that follows tells them apart.
  while (::poll(&entry, 1, -1) < 0 && errno == EINTR) {
  }
}

void awaitWritable(int fd) {
  pollfd entry{fd, POLLOUT, 0};
  while (::poll(&entry, 1, -1) < 0 && errno == EINTR) {
  }
}

std::string sanitizeUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    std::size_t subpart = 1;
    const std::size_t length = wellFormedLength(bytes.substr(i), subpart);
    if (length == 0) {
      out += kReplacement;
      i += subpart;
      continue;
    }
    out.append(bytes.substr(i, length));
    i += length;
  }
  return out;
}

bool LineReader::fill() {
  if (ended_) return false;
  if (start_ > 0) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  char chunk[65536];
  for (;;) {
    const ssize_t got = ::read(fd_, chunk, sizeof chunk);
    if (got > 0) {
      buffer_.append(chunk, static_cast<std::size_t>(got));
      return true;
    }
    if (got < 0 && errno == EINTR) continue;
    // A descriptor the host made non-blocking has no input yet; that is not its end.
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      awaitReadable(fd_);
      continue;
    }
    ended_ = true;
    return false;
  }
}

std::optional<RawLine> LineReader::next() {
  RawLine line;
  bool sawAnything = false;
  bool terminated = false;
  // A carriage return just before the line feed is part of the terminator, so a line may be
  // one byte over the limit while it is being read.
  const std::size_t keepLimit = maxBytes_ + 1;
  for (;;) {
    const std::size_t newline = buffer_.find('\n', start_);
    const std::size_t end = newline == std::string::npos ? buffer_.size() : newline;
    if (end > start_) sawAnything = true;
    if (!line.tooLong) {
      line.bytes.append(buffer_, start_, end - start_);
      if (line.bytes.size() > keepLimit) {
        line.tooLong = true;
        line.bytes.clear();
      }
    }
    if (newline != std::string::npos) {
      start_ = newline + 1;
      terminated = true;
      break;
    }
    start_ = buffer_.size();
    if (!fill()) {
      if (!sawAnything) return std::nullopt;
      break;
    }
  }
  if (terminated && !line.bytes.empty() && line.bytes.back() == '\r') line.bytes.pop_back();
  if (line.bytes.size() > maxBytes_) {
    line.tooLong = true;
    line.bytes.clear();
  }
  return line;
}

}  // namespace kex

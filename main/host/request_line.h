// Reading request lines from standard input with bounded memory.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kex {

// The most bytes of UTF-8 a request line may hold.
inline constexpr std::size_t kMaxRequestLineBytes = 16384;

// One line as read, without its terminator. A line over the limit keeps none of its bytes.
struct RawLine {
  std::string bytes;
  bool tooLong = false;
};

// Replaces every ill-formed UTF-8 sequence with U+FFFD, one replacement per maximal ill-formed
// subpart, so that the result is valid UTF-8 whatever came in.
[[nodiscard]] std::string sanitizeUtf8(std::string_view bytes);

// Wait until a read or write of the descriptor would not fail with EAGAIN (or until it has hung
// up or failed, which the next read or write then reports). For descriptors the host made
// non-blocking.
void awaitReadable(int fd);
void awaitWritable(int fd);

// Reads lines from a descriptor, blocking or not. A line ends at a line feed, and a carriage return
// just before it belongs to the terminator; a last line without a terminator is still a line. Lines
// longer than the limit are skipped to their end without being kept. Request thread only.
class LineReader {
 public:
  explicit LineReader(int fd, std::size_t maxBytes = kMaxRequestLineBytes)
      : fd_(fd), maxBytes_(maxBytes) {}

  // The next line, or nothing at end of input (or on a read error).
  [[nodiscard]] std::optional<RawLine> next();

 private:
  [[nodiscard]] bool fill();

  int fd_;
  std::size_t maxBytes_;
  std::string buffer_;
  std::size_t start_ = 0;
  bool ended_ = false;
};

}  // namespace kex

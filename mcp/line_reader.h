// Standard input as protocol lines, until it ends or a termination signal arrives.
#pragma once

#include <string>

namespace kex::mcp {

enum class LineStatus { line, oversized, ended };

// Reads descriptor `inputFd` and watches `signalFd` (a signalfd for the termination signals).
// Main thread only.
class LineReader {
 public:
  // Lines beyond this are skipped up to their line feed and reported as oversized, so that a
  // runaway client cannot make the process grow without bound.
  static constexpr std::size_t kMaxLine = std::size_t{64} << 20;

  LineReader(int inputFd, int signalFd) : inputFd_(inputFd), signalFd_(signalFd) {}

  // The next line, without its line feed (a carriage return before it is dropped too). A last
  // line without a line feed still counts. `ended` at end of input or on a signal.
  [[nodiscard]] LineStatus next(std::string& line);

 private:
  bool fill();

  int inputFd_;
  int signalFd_;
  std::string buffer_;
  std::size_t scanned_ = 0;
  bool skipping_ = false;
  bool ended_ = false;
};

}  // namespace kex::mcp

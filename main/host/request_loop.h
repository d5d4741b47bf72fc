// The request loop: one JSON request a line in, exactly one response line out.
#pragma once

#include <functional>
#include <string_view>

#include "main/host/computer.h"
#include "main/host/request_line.h"
#include "main/safety/input_safety.h"

namespace kex {

// Request thread only. Strictly one request at a time: the next line is read only after the
// previous response was written and its bracket closed.
class RequestLoop {
 public:
  using Output = std::function<void(std::string_view)>;

  RequestLoop(Computer& computer, InputSafety& safety) : computer_(computer), safety_(safety) {}

  // Answers one line: checks the envelope, brackets the request on the controller, invokes the
  // operation, writes one response through the output and closes the bracket.
  void serve(const RawLine& line, const Output& output);

  // Serves lines from the input descriptor until end of input, writing responses to the
  // output descriptor; then cancels control with "cancelled". Returns at end of input.
  void run(int inputFd, int outputFd);

 private:
  [[nodiscard]] std::string answer(const RawLine& line);

  Computer& computer_;
  InputSafety& safety_;
};

// Writes all bytes, retrying interrupted writes and waiting while a non-blocking descriptor is
// full. A reader that has gone is ignored: the loop
// runs on until its input ends.
void writeFully(int fd, std::string_view bytes);

}  // namespace kex

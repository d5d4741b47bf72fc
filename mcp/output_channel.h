// Where kex-mcp's protocol messages go.
#pragma once

#include <string>

namespace kex::mcp {

// Takes whole serialised messages; each becomes one line of its own, never interleaved with
// another. Any thread.
class OutputChannel {
 public:
  virtual ~OutputChannel() = default;
  // The message must hold no line feed; the channel adds the one that ends it.
  virtual void send(std::string message) = 0;
};

}  // namespace kex::mcp

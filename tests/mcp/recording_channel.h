// An output channel that keeps every message, for tests of the protocol layer.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "mcp/output_channel.h"

namespace kex::mcp::test {

// Any thread; `mutex_` guards the messages.
class RecordingChannel : public OutputChannel {
 public:
  void send(std::string message) override {
    std::lock_guard lock(mutex_);
    messages_.push_back(std::move(message));
  }
  [[nodiscard]] std::vector<std::string> messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
  }
  // Everything sent so far, taken out.
  [[nodiscard]] std::vector<std::string> take() {
    std::lock_guard lock(mutex_);
    return std::exchange(messages_, {});
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> messages_;
};

}  // namespace kex::mcp::test

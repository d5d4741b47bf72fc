// An output channel that keeps every message, for tests of the protocol layer.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "mcp/output_channel.h"
#include "threads/mutex.h"

namespace kex::mcp::test {

// Any thread.
class RecordingChannel : public OutputChannel {
 public:
  void send(std::string message) override {
    threads::Lock lock(mutex_);
    messages_.push_back(std::move(message));
  }
  [[nodiscard]] std::vector<std::string> messages() const {
    threads::Lock lock(mutex_);
    return messages_;
  }
  // Everything sent so far, taken out.
  [[nodiscard]] std::vector<std::string> take() {
    threads::Lock lock(mutex_);
    return std::exchange(messages_, {});
  }

 private:
  mutable threads::Mutex mutex_;
  std::vector<std::string> messages_ GUARDED_BY(mutex_);
};

}  // namespace kex::mcp::test

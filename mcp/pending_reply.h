// Where the answers to one input line go: straight out for a single message, or gathered into
// one array for a batch, which is sent once every request in it has been answered.
#pragma once

#include <string>
#include <vector>

#include "mcp/output_channel.h"
#include "threads/mutex.h"

namespace kex::mcp {

enum class ReplyShape { single, batch };

// Answers arrive on the reader thread and, for tool calls, on the worker thread; `mutex_`
// guards the gathered answers and the count of answers still awaited.
class PendingReply {
 public:
  PendingReply(OutputChannel& output, ReplyShape shape) : output_(output), shape_(shape) {}

  // One more answer to wait for before a batch may be sent.
  void hold();
  // Releases one hold; the batch goes out when the last is released, and nothing goes out
  // for a batch that gathered no answer (only notifications, or cancelled calls).
  void release();
  // One serialised response.
  void add(std::string message);

 private:
  OutputChannel& output_;
  const ReplyShape shape_;
  threads::Mutex mutex_;
  int holds_ GUARDED_BY(mutex_) = 0;
  std::vector<std::string> parts_ GUARDED_BY(mutex_);
};

}  // namespace kex::mcp

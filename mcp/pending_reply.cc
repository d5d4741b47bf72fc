#include "mcp/pending_reply.h"

#include <utility>

namespace kex::mcp {

void PendingReply::hold() {
  threads::Lock lock(mutex_);
  ++holds_;
}

void PendingReply::release() {
  std::vector<std::string> parts;
  {
    threads::Lock lock(mutex_);
    if (--holds_ > 0 || shape_ == ReplyShape::single) return;
    parts = std::exchange(parts_, {});
  }
  if (parts.empty()) return;
  std::string batch = "[";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) batch += ',';
    batch += parts[i];
  }
  batch += ']';
  output_.send(std::move(batch));
}

void PendingReply::add(std::string message) {
  if (shape_ == ReplyShape::single) {
    output_.send(std::move(message));
    return;
  }
  threads::Lock lock(mutex_);
  parts_.push_back(std::move(message));
}

}  // namespace kex::mcp

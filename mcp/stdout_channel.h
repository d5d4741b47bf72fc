// The protocol's standard output, kept to kex-mcp alone.
#pragma once

#include <string>

#include "mcp/output_channel.h"
#include "threads/mutex.h"

namespace kex::mcp {

// Writes protocol lines to a private duplicate of standard output. At construction descriptor 1
// is pointed at standard error, so that nothing else in the process, and no child it starts,
// can put a stray byte between the protocol lines. Any thread; `mutex_` keeps lines whole.
class StdoutChannel : public OutputChannel {
 public:
  StdoutChannel();
  ~StdoutChannel() override;
  StdoutChannel(const StdoutChannel&) = delete;
  StdoutChannel& operator=(const StdoutChannel&) = delete;

  void send(std::string message) override;

 private:
  threads::Mutex mutex_;
  int fd_ GUARDED_BY(mutex_) = -1;
  bool broken_ GUARDED_BY(mutex_) = false;  // the client stopped reading
};

}  // namespace kex::mcp

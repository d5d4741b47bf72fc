// The protocol's standard output, kept to kex-mcp alone.
#pragma once

#include <mutex>
#include <string>

#include "mcp/output_channel.h"

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
  std::mutex mutex_;
  int fd_ = -1;          // guarded by mutex_
  bool broken_ = false;  // guarded by mutex_: the client stopped reading
};

}  // namespace kex::mcp

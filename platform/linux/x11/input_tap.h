// The human-input tap: the RECORD extension on a connection of its own.
#pragma once

#include <xcb/xcb.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/events.h"
#include "platform/linux/x11/record_classifier.h"

namespace kex::platform::x11 {

// Records core device events and the XTEST fake-input requests of every client. run() belongs
// to the thread that created the tap; valid(), enabled() and stop() may be called from any
// thread. The tap's connection carries nothing else, so no other thread ever waits on it, and
// run() waits on the connection and a stop descriptor together.
class RecordInputTap final : public InputTap {
 public:
  // Connects to the display named by DISPLAY, creates and enables a recording context and waits
  // for the recording to start. ownClientBase is the resource-id base of the connection whose
  // fake input is this process's own. Nothing when the display, RECORD or the context refuses.
  [[nodiscard]] static std::unique_ptr<RecordInputTap> open(InputTapListener& listener,
                                                            std::uint32_t ownClientBase);
  ~RecordInputTap() override;
  RecordInputTap(const RecordInputTap&) = delete;
  RecordInputTap& operator=(const RecordInputTap&) = delete;

  [[nodiscard]] bool valid() override;
  [[nodiscard]] bool enabled() override;
  void run() override;
  void stop() override;

 private:
  RecordInputTap(InputTapListener& listener, xcb_connection_t* connection, int stopFd,
                 unsigned int sequence, RecordClassifier classifier);

  // Hands every reply that has arrived to the classifier; false once the recording is over.
  bool drainReplies();
  void deliver(const xcb_generic_reply_t* reply);

  InputTapListener& listener_;
  xcb_connection_t* connection_;
  int stopFd_;
  unsigned int sequence_;        // of the EnableContext request, whose replies carry the recording
  RecordClassifier classifier_;  // run()'s thread only
  std::int32_t ownProcessId_;
  std::atomic<bool> ended_{false};
  std::atomic<bool> stopped_{false};
};

}  // namespace kex::platform::x11
